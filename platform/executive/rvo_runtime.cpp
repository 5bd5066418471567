// The executive runtime: steps and their records, verification, alerts, messages, attributes,
// callbacks, station objects and system parameters.
#include "rvo_runtime.h"

#include <kora_os_hooks.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace kora::rvo {

namespace {

thread_local std::vector<Step*> tlsStack;
thread_local std::optional<long> tlsLooseResult;

enum class Cmp { None, Lt, Le, Eq, Ge, Gt, Ne, Bad };

Cmp parseOp(const std::string& op) {
    std::string s;
    for (char c : op) {
        if (c != ' ' && c != '\t') {
            s.push_back(c);
        }
    }
    if (s.empty()) {
        return Cmp::None;
    }
    if (s == "<")
        return Cmp::Lt;
    if (s == "<=" || s == "=<")
        return Cmp::Le;
    if (s == "=" || s == "==")
        return Cmp::Eq;
    if (s == ">=" || s == "=>")
        return Cmp::Ge;
    if (s == ">")
        return Cmp::Gt;
    if (s == "!=" || s == "<>")
        return Cmp::Ne;
    return Cmp::Bad;
}

// True when `a op b` holds; NaN never satisfies a comparison.
template <typename T> bool holds(Cmp op, T a, T b) {
    switch (op) {
    case Cmp::Lt:
        return a < b;
    case Cmp::Le:
        return a <= b;
    case Cmp::Eq:
        return a == b;
    case Cmp::Ge:
        return a >= b;
    case Cmp::Gt:
        return a > b;
    case Cmp::Ne:
        return a != b;
    default:
        return false;
    }
}

// The verdict of a numeric check: the low limit reads "low OP value", the high limit
// "value OP high"; a side with no operator is not checked.
template <typename T> Verdict numericVerdict(const Result& r, T low, T value, T high) {
    Cmp lo = parseOp(r.lowOp), hi = parseOp(r.highOp);
    if (lo == Cmp::Bad || hi == Cmp::Bad) {
        return Verdict::Error;
    }
    if (lo == Cmp::None && hi == Cmp::None) {
        return Verdict::Done;
    }
    bool ok = true;
    if (lo != Cmp::None) {
        ok = ok && holds(lo, low, value);
    }
    if (hi != Cmp::None) {
        ok = ok && holds(hi, value, high);
    }
    return ok ? Verdict::Pass : Verdict::Fail;
}

Verdict textVerdict(const Result& r) {
    if (r.unit == 0 || !r.expectedGiven) {
        return Verdict::Done;
    }
    Cmp op = parseOp(r.lowOp);
    if (op == Cmp::None) {
        return Verdict::Done;
    }
    if (op == Cmp::Eq) {
        return r.text == r.expected ? Verdict::Pass : Verdict::Fail;
    }
    if (op == Cmp::Ne) {
        return r.text != r.expected ? Verdict::Pass : Verdict::Fail;
    }
    return Verdict::Error;
}

Verdict computeVerdict(const Result& r) {
    if (r.verdictArg != RVO_VERDICT_EXECUTIVE) {
        if (r.verdictArg == -2)
            return Verdict::Error;
        if (r.verdictArg == -1)
            return Verdict::Fail;
        if (r.verdictArg == 1)
            return Verdict::Pass;
        return Verdict::Done;
    }
    switch (r.kind) {
    case ResultKind::Real:
        return numericVerdict<double>(r, r.low, r.value, r.high);
    case ResultKind::Integer:
        return numericVerdict<long>(r, r.lowInt, r.valueInt, r.highInt);
    case ResultKind::Text:
        return textVerdict(r);
    case ResultKind::Series:
        return Verdict::Done;
    }
    return Verdict::Done;
}

void freeRecord(void* p) {
    std::free(p);
}

} // namespace

const char* verdictName(Verdict v) {
    switch (v) {
    case Verdict::Pass:
        return "PASS";
    case Verdict::Fail:
        return "FAIL";
    case Verdict::Done:
        return "DONE";
    case Verdict::Error:
        return "ERROR";
    }
    return "?";
}

Step* currentThreadStep() {
    return tlsStack.empty() ? nullptr : tlsStack.back();
}

Runtime& Runtime::instance() {
    static Runtime runtime;
    return runtime;
}

void Runtime::reset() {
    std::lock_guard lock(mutex_);
    steps_.clear(); // each step hands its allocated record back
    results_.clear();
    alerts_.clear();
    messages_.clear();
    phases_.clear();
    exitAnswers_.clear();
    stepExitAnswers_.clear();
    alertAnswers_.clear();
    presets_.clear();
    compileOnly_ = false;
    keepResults_ = true;
    groupCompiled_ = false;
    alertPolicy_ = nullptr;
    messageSink_ = nullptr;
    resultSink_ = nullptr;
    progressSink_ = nullptr;
    clock_ = nullptr;
    settings_.clear();
    deviceNaming_ = 0;
    stationId_ = 1;
    itemIndex_ = 1;
    fixturePosition_ = 0;
    nestUut_.clear();
    uuts_.clear();
    sysParas_.clear();
    callbacks_.clear();
    attributeCallbackAt_.clear();
    progress_ = ProgressWindow{};
    tlsStack.clear();
}

void Runtime::scriptPhases(std::initializer_list<long> phases) {
    std::lock_guard lock(mutex_);
    phases_.insert(phases_.end(), phases);
}
void Runtime::setCompileOnly(bool on) {
    std::lock_guard lock(mutex_);
    compileOnly_ = on;
}
void Runtime::scriptExitAnswersFor(long stepRef, std::initializer_list<long> answers) {
    std::lock_guard lock(mutex_);
    auto& queue = stepExitAnswers_[stepRef];
    queue.insert(queue.end(), answers);
}

void Runtime::scriptExitAnswers(std::initializer_list<long> answers) {
    std::lock_guard lock(mutex_);
    exitAnswers_.insert(exitAnswers_.end(), answers);
}
void Runtime::scriptAlertAnswers(std::initializer_list<long> answers) {
    std::lock_guard lock(mutex_);
    alertAnswers_.insert(alertAnswers_.end(), answers);
}
void Runtime::setAlertPolicy(std::function<long(const Alert&)> policy) {
    std::lock_guard lock(mutex_);
    alertPolicy_ = std::move(policy);
}
void Runtime::setMessageSink(std::function<void(long, const std::string&)> sink) {
    std::lock_guard lock(mutex_);
    messageSink_ = std::move(sink);
}
void Runtime::setResultSink(std::function<void(const Result&)> sink) {
    std::lock_guard lock(mutex_);
    resultSink_ = std::move(sink);
}
void Runtime::setProgressSink(std::function<void(const ProgressWindow&)> sink) {
    std::lock_guard lock(mutex_);
    progressSink_ = std::move(sink);
}
void Runtime::setClock(std::function<double()> clock) {
    std::lock_guard lock(mutex_);
    clock_ = std::move(clock);
}
void Runtime::setKeepResults(bool keep) {
    std::lock_guard lock(mutex_);
    keepResults_ = keep;
}
void Runtime::setSetting(const std::string& name, const std::string& value) {
    std::lock_guard lock(mutex_);
    settings_[name] = value;
}
void Runtime::setDeviceNaming(long mode) {
    std::lock_guard lock(mutex_);
    deviceNaming_ = mode;
}
void Runtime::setGroupCompiled(bool compiled) {
    std::lock_guard lock(mutex_);
    groupCompiled_ = compiled;
}

void Runtime::setStation(long stationId, long itemIndex) {
    std::lock_guard lock(mutex_);
    stationId_ = stationId;
    itemIndex_ = itemIndex;
}
void Runtime::setUut(long nestIndex, long uutId, const std::string& serial) {
    std::lock_guard lock(mutex_);
    nestUut_[nestIndex] = uutId;
    Uut& u = uuts_[uutId];
    u.id = uutId;
    u.serial = serial;
}
void Runtime::setFixturePosition(long position) {
    std::lock_guard lock(mutex_);
    fixturePosition_ = position;
}
void Runtime::setSysPara(const SysPara& p) {
    std::lock_guard lock(mutex_);
    sysParas_[{p.section, p.name}] = p;
}
std::optional<SysPara> Runtime::sysPara(const std::string& section, const std::string& name) const {
    std::lock_guard lock(mutex_);
    auto it = sysParas_.find({section, name});
    if (it == sysParas_.end()) {
        return std::nullopt;
    }
    return it->second;
}
std::vector<SysPara> Runtime::sysParas() const {
    std::lock_guard lock(mutex_);
    std::vector<SysPara> all;
    for (const auto& [key, p] : sysParas_) {
        all.push_back(p);
    }
    return all;
}

SysPara* Runtime::sysParaRef(const std::string& section, const std::string& name) {
    std::lock_guard lock(mutex_);
    auto it = sysParas_.find({section, name});
    return it == sysParas_.end() ? nullptr : &it->second;
}
std::optional<Uut> Runtime::uut(long uutId) const {
    std::lock_guard lock(mutex_);
    auto it = uuts_.find(uutId);
    if (it == uuts_.end()) {
        return std::nullopt;
    }
    return it->second;
}

std::vector<Result> Runtime::results() const {
    std::lock_guard lock(mutex_);
    return results_;
}
std::vector<Alert> Runtime::alerts() const {
    std::lock_guard lock(mutex_);
    return alerts_;
}
std::vector<Message> Runtime::messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
}
const Step* Runtime::step(long stepRef) const {
    std::lock_guard lock(mutex_);
    auto it = steps_.find(stepRef);
    return it == steps_.end() ? nullptr : it->second.get();
}
std::vector<Attribute> Runtime::attributes(long stepRef) const {
    std::lock_guard lock(mutex_);
    auto it = steps_.find(stepRef);
    return it == steps_.end() ? std::vector<Attribute>{} : it->second->attributes;
}
const Attribute* Runtime::attribute(long stepRef, const std::string& name) const {
    std::lock_guard lock(mutex_);
    auto it = steps_.find(stepRef);
    if (it == steps_.end()) {
        return nullptr;
    }
    for (const auto& a : it->second->attributes) {
        if (a.name == name) {
            return &a;
        }
    }
    return nullptr;
}
long Runtime::progressPosition() const {
    std::lock_guard lock(mutex_);
    return progress_.position;
}
bool Runtime::progressOpen() const {
    std::lock_guard lock(mutex_);
    return progress_.open;
}
ProgressWindow Runtime::progressWindow() const {
    std::lock_guard lock(mutex_);
    return progress_;
}
std::vector<Callback> Runtime::callbacks() const {
    std::lock_guard lock(mutex_);
    return callbacks_;
}

long Runtime::invokeCallback(long kind, long reason) {
    Callback cb;
    {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(callbacks_.begin(), callbacks_.end(),
                               [&](const Callback& c) { return c.kind == kind; });
        if (it == callbacks_.end() || !it->function) {
            return -1;
        }
        cb = *it;
    }
    // The callback calls back into the executive, so it runs without the lock held.
    return cb.function(reason, cb.context.empty() ? nullptr : cb.context.data(),
                       static_cast<long>(cb.context.size()));
}

long Runtime::invokeAttributeCallback(long stepRef, long reason) {
    Callback cb;
    {
        std::lock_guard lock(mutex_);
        const auto at = attributeCallbackAt_.find(stepRef);
        if (at == attributeCallbackAt_.end() || !callbacks_[at->second].function) {
            return -1;
        }
        cb = callbacks_[at->second];
    }
    return cb.function(reason, cb.context.empty() ? nullptr : cb.context.data(),
                       static_cast<long>(cb.context.size()));
}

namespace {

bool NamesAttribute(const Attribute& a, const std::string& name) {
    // "NAME" names the first attribute of that name, "GROUP|NAME" the one in that group.
    return a.name == name || a.group + "|" + a.name == name;
}

void SetAttributeValue(Attribute& a, const std::string& value) {
    switch (a.kind) {
    case AttrKind::Button:
    case AttrKind::Int:
        if (a.address) {
            *static_cast<int32_t*>(a.address) = std::atoi(value.c_str());
        }
        break;
    case AttrKind::Real:
        if (a.address) {
            *static_cast<double*>(a.address) = std::strtod(value.c_str(), nullptr);
        }
        break;
    case AttrKind::TextList:
        if (a.address && a.sizeOrCount > 0) {
            auto n = std::min<std::size_t>(value.size(), a.sizeOrCount - 1);
            std::memcpy(a.address, value.data(), n);
            static_cast<char*>(a.address)[n] = 0;
        }
        a.text = value;
        break;
    default:
        a.text = value;
        break;
    }
}

} // namespace

bool Runtime::editAttribute(long stepRef, const std::string& name, const std::string& value) {
    std::lock_guard lock(mutex_);
    auto it = steps_.find(stepRef);
    if (it == steps_.end()) {
        return false;
    }
    for (auto& a : it->second->attributes) {
        if (NamesAttribute(a, name)) {
            SetAttributeValue(a, value);
            return true;
        }
    }
    return false;
}

void Runtime::presetAttribute(long stepRef, const std::string& name, const std::string& value) {
    std::lock_guard lock(mutex_);
    presets_[stepRef].emplace_back(name, value);
}

long Runtime::nextPhase(Step& s) {
    if (!phases_.empty()) {
        long p = phases_.front();
        phases_.pop_front();
        return p;
    }
    if (compileOnly_) {
        return RVO_PHASE_COMPILE;
    }
    // A nested step (an ICT component inside its program step) entered for the first time while
    // its parent is being compiled only declares itself; it is run by the parent's later walk.
    if (s.entries == 1 && !tlsStack.empty() &&
        (tlsStack.back()->lastPhase == RVO_PHASE_COMPILE ||
         tlsStack.back()->lastPhase == RVO_PHASE_COMPILE_RUN)) {
        return RVO_PHASE_COMPILE;
    }
    return s.entries == 1 ? RVO_PHASE_COMPILE_RUN : RVO_PHASE_RUN;
}

long Runtime::enterStep(long stepRef, const char* stepName, long lineCode, long stepArg,
                        const char* comment, const char* methodName, long dataSize, void** dataOut,
                        RVO_RECORD_ALLOC allocate, RVO_RECORD_FREE release, bool withAlloc) {
    std::lock_guard lock(mutex_);
    auto& slot = steps_[stepRef];
    if (!slot) {
        slot = std::make_unique<Step>();
        slot->stepRef = stepRef;
        slot->stepName = stepName ? stepName : "";
        slot->methodName = methodName ? methodName : "";
        slot->comment = comment ? comment : "";
        slot->lineCode = lineCode;
        slot->stepArg = stepArg;
    }
    Step& s = *slot;
    if (withAlloc) {
        if (!s.allocRecord && allocate) {
            s.allocRecord = allocate();
            s.allocFree = release;
        }
        if (dataOut) {
            *dataOut = s.allocRecord;
        }
    } else if (dataSize > s.dataSize) {
        // The record is zero-filled once and then kept; a larger request keeps what is there.
        auto* fresh = static_cast<uint8_t*>(std::calloc(static_cast<std::size_t>(dataSize), 1));
        if (fresh && s.record) {
            std::memcpy(fresh, s.record.get(), static_cast<std::size_t>(s.dataSize));
        }
        s.record = std::unique_ptr<uint8_t[], void (*)(void*)>(fresh, freeRecord);
        s.dataSize = fresh ? dataSize : 0;
    }
    if (!withAlloc && dataOut) {
        *dataOut = s.record.get();
    }
    s.entries++;
    s.stepResult = 0;
    s.lastPhase = nextPhase(s);
    tlsStack.push_back(&s);
    return s.lastPhase;
}

long Runtime::exitStep() {
    std::lock_guard lock(mutex_);
    long stepRef = 0;
    if (!tlsStack.empty()) {
        stepRef = tlsStack.back()->stepRef;
        tlsStack.pop_back();
    }
    if (auto own = stepExitAnswers_.find(stepRef);
        own != stepExitAnswers_.end() && !own->second.empty()) {
        const long a = own->second.front();
        own->second.pop_front();
        return a;
    }
    if (exitAnswers_.empty()) {
        return 0;
    }
    long a = exitAnswers_.front();
    exitAnswers_.pop_front();
    return a;
}

void Runtime::exitStepEx(long result) {
    std::lock_guard lock(mutex_);
    if (Step* s = currentThreadStep()) {
        s->stepResult = result;
    } else {
        tlsLooseResult = result;
    }
}

void Runtime::setLooseResult(long result) {
    tlsLooseResult = result;
}

std::optional<long> Runtime::takeLooseResult() {
    return std::exchange(tlsLooseResult, std::nullopt);
}

Step* Runtime::currentStep() {
    return currentThreadStep();
}

long Runtime::verify(Result r) {
    Step* s = currentThreadStep();
    std::function<void(const Result&)> sink;
    r.verdict = computeVerdict(r);
    long answer = (r.verdict == Verdict::Fail || r.verdict == Verdict::Error) ? -1 : 0;
    {
        std::lock_guard lock(mutex_);
        r.time = now();
        if (s) {
            r.stepRef = s->stepRef;
            r.stepName = s->stepName;
        }
        sink = resultSink_;
        if (keepResults_) {
            if (s) {
                s->results.push_back(results_.size());
            }
            results_.push_back(r);
        }
    }
    if (sink) {
        sink(r);
    }
    return answer;
}

long Runtime::alert(const char* title, const char* text, long flags) {
    Alert a;
    a.title = title ? title : "";
    a.text = text ? text : "";
    a.flags = flags;
    std::function<long(const Alert&)> policy;
    bool scripted = false;
    {
        std::lock_guard lock(mutex_);
        if (!alertAnswers_.empty()) {
            a.answer = alertAnswers_.front();
            alertAnswers_.pop_front();
            scripted = true;
        } else {
            policy = alertPolicy_;
        }
    }
    if (!scripted && policy) {
        a.answer = policy(a);
    }
    std::lock_guard lock(mutex_);
    alerts_.push_back(a);
    return a.answer;
}

void Runtime::guiMessage(long level, const char* text) {
    std::function<void(long, const std::string&)> sink;
    std::string t = text ? text : "";
    {
        std::lock_guard lock(mutex_);
        if (keepResults_) {
            messages_.push_back({level, t});
        }
        sink = messageSink_;
    }
    if (sink) {
        sink(level, t);
    }
}

double Runtime::now() const {
    std::lock_guard lock(mutex_);
    if (clock_) {
        return clock_();
    }
    // The platform's clock: virtual while a virtual bench is active.
    return KoraOsMonotonicSeconds();
}

const std::string& SharedText::empty() {
    static const std::string none;
    return none;
}

SharedText Runtime::shareList(const char* list) {
    if (!list || !list[0]) {
        return {};
    }
    std::lock_guard lock(mutex_);
    // A step alternates between a few lists (a method list, then the channel list per pin), so
    // the last few are kept. strncmp stops at the caller's terminator: a shorter text is never
    // read past its end.
    for (const SharedText& kept : lists_) {
        const std::string& k = kept.str();
        if (!k.empty() && std::strncmp(list, k.data(), k.size()) == 0 && list[k.size()] == 0) {
            return kept;
        }
    }
    SharedText& slot = lists_[nextList_];
    nextList_ = (nextList_ + 1) % lists_.size();
    slot = SharedText(std::make_shared<const std::string>(list));
    return slot;
}

Attribute* Runtime::defineAttribute(Attribute a) {
    std::lock_guard lock(mutex_);
    Step* s = currentThreadStep();
    if (!s) {
        return nullptr;
    }
    // A step compiles again on every phase-2 pass; its attributes are redefined in place.
    Attribute* defined = nullptr;
    for (auto& old : s->attributes) {
        if (old.name == a.name && old.group == a.group) {
            long updates = old.updates, reads = old.reads;
            bool enabled = old.enabled;
            old = std::move(a);
            old.updates = updates;
            old.reads = reads;
            old.enabled = enabled;
            defined = &old;
            break;
        }
    }
    if (!defined) {
        s->attributes.push_back(std::move(a));
        defined = &s->attributes.back();
    }
    if (const auto p = presets_.find(s->stepRef); p != presets_.end()) {
        for (const auto& [name, value] : p->second) {
            if (NamesAttribute(*defined, name)) {
                SetAttributeValue(*defined, value);
            }
        }
    }
    return defined;
}

Attribute* Runtime::findAttribute(RVO_COMPONENT component, const void* address) {
    std::lock_guard lock(mutex_);
    Step* s = component ? static_cast<Step*>(component) : currentThreadStep();
    if (!s) {
        return nullptr;
    }
    for (auto& a : s->attributes) {
        if (a.address == address) {
            return &a;
        }
    }
    return nullptr;
}

long Runtime::deleteSubResults(RVO_COMPONENT component) {
    std::lock_guard lock(mutex_);
    Step* s = component ? static_cast<Step*>(component) : currentThreadStep();
    if (!s) {
        return -1;
    }
    long removed = 0;
    for (std::size_t i : s->results) {
        if (i < results_.size() && results_[i].resultNo != 0 && results_[i].name != "<deleted>") {
            results_[i].name = "<deleted>";
            ++removed;
        }
    }
    auto end = std::remove_if(s->results.begin(), s->results.end(), [&](std::size_t i) {
        return i < results_.size() && results_[i].name == "<deleted>";
    });
    s->results.erase(end, s->results.end());
    results_.erase(std::remove_if(results_.begin(), results_.end(),
                                  [](const Result& r) { return r.name == "<deleted>"; }),
                   results_.end());
    // Indices of all steps are rebuilt after the removal.
    for (auto& [ref, st] : steps_) {
        st->results.clear();
    }
    for (std::size_t i = 0; i < results_.size(); ++i) {
        auto it = steps_.find(results_[i].stepRef);
        if (it != steps_.end()) {
            it->second->results.push_back(i);
        }
    }
    return removed;
}

long Runtime::registerCallback(Callback cb) {
    std::lock_guard lock(mutex_);
    if (cb.kind == RVO_CALLBACK_ATTRIBUTE && !tlsStack.empty()) {
        // Attribute callbacks belong to the step that registers them, one per step: the step
        // editor calls the callback of the step whose attribute the operator changed.
        cb.stepRef = tlsStack.back()->stepRef;
        if (const auto at = attributeCallbackAt_.find(cb.stepRef);
            at != attributeCallbackAt_.end()) {
            callbacks_[at->second] = std::move(cb);
            return 0;
        }
        attributeCallbackAt_.emplace(cb.stepRef, callbacks_.size());
        callbacks_.push_back(std::move(cb));
        return 0;
    }
    for (auto& c : callbacks_) {
        if (c.kind == cb.kind) {
            return -1; // already registered: the caller unregisters first
        }
    }
    if (cb.kind == RVO_CALLBACK_ATTRIBUTE) {
        attributeCallbackAt_.try_emplace(cb.stepRef, callbacks_.size());
    }
    callbacks_.push_back(std::move(cb));
    return 0;
}

void Runtime::indexAttributeCallbacks() {
    attributeCallbackAt_.clear();
    for (std::size_t i = 0; i < callbacks_.size(); ++i) {
        if (callbacks_[i].kind == RVO_CALLBACK_ATTRIBUTE) {
            attributeCallbackAt_.try_emplace(callbacks_[i].stepRef, i);
        }
    }
}

long Runtime::unregisterCallback(long kind) {
    std::lock_guard lock(mutex_);
    auto before = callbacks_.size();
    callbacks_.erase(std::remove_if(callbacks_.begin(), callbacks_.end(),
                                    [&](const Callback& c) { return c.kind == kind; }),
                     callbacks_.end());
    indexAttributeCallbacks();
    return before == callbacks_.size() ? -1 : 0;
}

long Runtime::expand(const char* text, char* out, long size) const {
    if (!out || size <= 0) {
        return -1;
    }
    std::string src = text ? text : "", dst;
    std::lock_guard lock(mutex_);
    auto lookup = [&](const std::string& name, std::string& value) {
        if (auto it = settings_.find(name); it != settings_.end()) {
            value = it->second;
            return true;
        }
        if (const char* env = std::getenv(name.c_str())) {
            value = env;
            return true;
        }
        return false;
    };
    for (std::size_t i = 0; i < src.size();) {
        std::size_t close = std::string::npos, start = 0;
        if (src[i] == '%') {
            close = src.find('%', i + 1);
            start = i + 1;
        } else if (src[i] == '$' && i + 1 < src.size() && src[i + 1] == '{') {
            close = src.find('}', i + 2);
            start = i + 2;
        }
        std::string value;
        if (close != std::string::npos && close > start &&
            lookup(src.substr(start, close - start), value)) {
            dst += value;
            i = close + 1;
        } else {
            dst.push_back(src[i++]);
        }
    }
    auto n = std::min<std::size_t>(dst.size(), static_cast<std::size_t>(size - 1));
    std::memcpy(out, dst.data(), n);
    out[n] = 0;
    return n == dst.size() ? static_cast<long>(n) : -1;
}

long Runtime::deviceNaming() const {
    std::lock_guard lock(mutex_);
    return deviceNaming_;
}
bool Runtime::groupCompiled() const {
    std::lock_guard lock(mutex_);
    return groupCompiled_;
}
long Runtime::stationId() const {
    std::lock_guard lock(mutex_);
    return stationId_;
}
long Runtime::stationItemIndex() const {
    std::lock_guard lock(mutex_);
    return itemIndex_;
}
long Runtime::fixturePosition() const {
    std::lock_guard lock(mutex_);
    return fixturePosition_;
}
long Runtime::nestUutId(long nestIndex) const {
    std::lock_guard lock(mutex_);
    auto it = nestUut_.find(nestIndex);
    return it == nestUut_.end() ? 0 : it->second;
}
void Runtime::setUutPanelIndex(long uutId, long panelIndex) {
    std::lock_guard lock(mutex_);
    auto it = uuts_.find(uutId);
    if (it != uuts_.end()) {
        it->second.panelIndex = panelIndex;
    }
}
void Runtime::openProgress(const char* title, const char* text, long steps) {
    {
        std::lock_guard lock(mutex_);
        progress_ = ProgressWindow{};
        progress_.title = title ? title : "";
        progress_.text = text ? text : "";
        progress_.steps = steps;
        progress_.open = true;
    }
    showProgress();
}

bool Runtime::stepProgress(long position, const char* detail) {
    {
        std::lock_guard lock(mutex_);
        if (position >= 0) {
            progress_.position = position;
        }
        progress_.detail = detail ? detail : "";
        if (!progress_.open) {
            return false;
        }
    }
    showProgress();
    return progressOpen();
}

void Runtime::closeProgress() {
    {
        std::lock_guard lock(mutex_);
        progress_.open = false;
    }
    notifyProgress();
}

void Runtime::terminateProgress() {
    {
        std::lock_guard lock(mutex_);
        if (!progress_.open) {
            return;
        }
        progress_.open = false;
        progress_.terminated = true;
    }
    notifyProgress();
}

void Runtime::notifyProgress() {
    std::function<void(const ProgressWindow&)> sink;
    ProgressWindow shown;
    {
        std::lock_guard lock(mutex_);
        sink = progressSink_;
        shown = progress_;
    }
    if (sink) {
        sink(shown);
    }
}

void Runtime::showProgress() {
    notifyProgress();
    Alert a;
    std::function<long(const Alert&)> policy;
    {
        std::lock_guard lock(mutex_);
        policy = alertPolicy_;
        a.title = progress_.title;
        a.text = progress_.text;
        a.flags = kAlertProgress;
    }
    // The policy answers without the lock held: an operator panel may take its time.
    if (policy && policy(a) == RVO_ANSWER_STOP) {
        terminateProgress();
    }
}
} // namespace kora::rvo
