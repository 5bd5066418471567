// The executive runtime behind the rvo_* calls, seen from the side of whoever drives it:
// kora-run, the tests and the benchmarks. They script the phases and answers, run steps, and read
// back every result, alert, message and attribute that the library produced.
#pragma once

#include <rvoapi.h>

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kora::rvo {

enum class Verdict { Pass, Fail, Done, Error };
const char* verdictName(Verdict v);

enum class ResultKind { Real, Integer, Text, Series };

struct Result {
    long stepRef = 0;
    std::string stepName; // the step that recorded it
    long resultNo = 0;
    std::string name; // stepName for the step's own result, else the sub-result's name
    long lineCode = 0;
    ResultKind kind = ResultKind::Real;
    long unit = 0; // unit code, or the mode of a text verification
    double low = 0, value = 0, high = 0;
    long lowInt = 0, valueInt = 0, highInt = 0;
    std::string lowOp, highOp;
    std::string text, expected; // text verification
    bool expectedGiven = false;
    std::vector<double> series; // series verification
    double span = 0;
    long verdictArg = RVO_VERDICT_EXECUTIVE;
    Verdict verdict = Verdict::Done;
    std::string channel, comment;
    double time = 0;
};

struct Alert {
    std::string title; // empty for a null title
    std::string text;
    long flags = 0;
    long answer = 0;
};

// The flags under which a progress window reaches the alert policy, the operator's one way in:
// when it opens and at every step, with its title and text (progressWindow() has the rest). It is
// no alert: it is not recorded with the alerts and takes no scripted answer. The policy's
// RVO_ANSWER_STOP is the operator's terminate, which closes it.
constexpr long kAlertProgress = 0x1000;

// The progress window as it was last shown; it stays readable after it closed.
struct ProgressWindow {
    std::string title, text, detail;
    long steps = 0, position = 0;
    bool open = false;
    bool terminated = false; // closed by the operator, not by the library
};

struct Message {
    long level = 0;
    std::string text;
};

enum class AttrKind { Int, Real, Text, TextList, Button, RealArray, Other };

// The choices of a selection attribute. An ICT program offers the bench's whole channel list for
// every pin of every component, so the attributes hold one shared copy of a text instead of one
// copy each: a large board would otherwise keep the list thousands of times over.
class SharedText {
  public:
    SharedText() = default;
    explicit SharedText(std::shared_ptr<const std::string> text) : text_(std::move(text)) {}
    const std::string& str() const { return text_ ? *text_ : empty(); }
    operator const std::string&() const { return str(); }
    bool sharesWith(const SharedText& other) const { return text_ == other.text_; }
    friend bool operator==(const SharedText& a, std::string_view b) { return a.str() == b; }

  private:
    static const std::string& empty();
    std::shared_ptr<const std::string> text_;
};

struct Attribute {
    std::string name, group, category;
    AttrKind kind = AttrKind::Other;
    void* address = nullptr; // in the step data record, or the text argument it was defined from
    long sizeOrCount = 0;
    long unitOrOption = 0;
    std::string text; // current value of a text attribute (and the list of a TextList)
    SharedText list;
    bool enabled = true;
    long updates = 0, reads = 0;
};

// One step of the program as the executive keeps it between passes.
struct Step {
    long stepRef = 0;
    std::string stepName, methodName, comment;
    long lineCode = 0, stepArg = 0;
    long entries = 0;    // how often the step was entered
    long lastPhase = 0;  // phase answered at the last entry
    long stepResult = 0; // set by rvo_SetSTEPResult, cleared at entry
    std::string deviceName;
    long dataSize = 0;
    std::unique_ptr<uint8_t[], void (*)(void*)> record{nullptr, nullptr};
    void* allocRecord = nullptr; // record of rvo_EnterSTEPMethodAlloc
    RVO_RECORD_FREE allocFree = nullptr;
    // The record a step allocated through the library goes back to the library with the step.
    Step() = default;
    Step(const Step&) = delete;
    Step& operator=(const Step&) = delete;
    ~Step() {
        if (allocRecord && allocFree) {
            allocFree(allocRecord);
        }
    }
    std::vector<Attribute> attributes;
    std::vector<std::size_t> results; // indices into the runtime's result list
};

struct SysPara {
    std::string section, name;
    long intValue = 0;
    double realValue = 0;
    std::string stringValue;
    long unit = 0;
    std::string comment;
    // The value last written by the library ('I', 'R' or 'S'); 0 while it was only declared.
    char written = 0;
};

// The progress window of a long operation (the ICT save, the pin location tool): the operator's
// terminate button closes it, which the operation sees through rvo_ProgressIsOpen.
struct Uut {
    long id = 0;
    std::string serial;
    long panelIndex = 0;
};

struct Callback {
    long kind = 0, mode = 0;
    long stepRef = 0; // attribute callbacks: the step that registered it
    RVO_CALLBACK function = nullptr;
    std::vector<uint8_t> context;
};

// The process-wide executive. All members are safe to call from several threads.
class Runtime {
  public:
    static Runtime& instance();

    // Forget every step, result, alert, message, script and setting (tests call it first).
    void reset();

    // ---- scripting ----
    // Phases handed out by the next entries (any step); when empty the rule applies: the first
    // entry of a step gets 2 (or 98 in compile-only mode), later entries 1.
    void scriptPhases(std::initializer_list<long> phases);
    void setCompileOnly(bool on);
    // Answers of rvo_ExitSTEP; when empty it answers 0.
    void scriptExitAnswers(std::initializer_list<long> answers);
    // Answers of rvo_ExitSTEP for the step `stepRef` only; they come before the general ones.
    void scriptExitAnswersFor(long stepRef, std::initializer_list<long> answers);
    // Answers of rvo_Alert / rvo_UserMessageBox; when empty the policy decides.
    void scriptAlertAnswers(std::initializer_list<long> answers);
    void setAlertPolicy(std::function<long(const Alert&)> policy);
    void setMessageSink(std::function<void(long level, const std::string&)> sink);
    void setResultSink(std::function<void(const Result&)> sink);
    // Told every change of the progress window, outside the runtime's lock.
    void setProgressSink(std::function<void(const ProgressWindow&)> sink);
    void setClock(std::function<double()> clock); // null restores the steady clock
    void setKeepResults(bool keep);               // off: results and messages go to the sinks only
    void setSetting(const std::string& name, const std::string& value); // for ${NAME}
    void setDeviceNaming(long mode);
    void setGroupCompiled(bool compiled);

    // ---- station, UUT, fixture, system parameters ----
    void setStation(long stationId, long itemIndex);
    void setUut(long nestIndex, long uutId, const std::string& serial);
    void setFixturePosition(long position);
    void setSysPara(const SysPara& p);
    std::optional<SysPara> sysPara(const std::string& section, const std::string& name) const;
    std::vector<SysPara> sysParas() const; // by section and name
    std::optional<Uut> uut(long uutId) const;

    // ---- inspection ----
    std::vector<Result> results() const;
    std::vector<Alert> alerts() const;
    std::vector<Message> messages() const;
    const Step* step(long stepRef) const; // stable until reset()
    std::vector<Attribute> attributes(long stepRef) const;
    const Attribute* attribute(long stepRef, const std::string& name) const;
    long progressPosition() const;
    bool progressOpen() const;
    ProgressWindow progressWindow() const;
    // The operator's terminate of the open progress window, from any thread (an operator panel).
    void terminateProgress();
    std::vector<Callback> callbacks() const;
    // Calls the registered callback of `kind` with `reason`; returns its answer or -1.
    long invokeCallback(long kind, long reason);
    // Calls the attribute callback that step `stepRef` registered, as the step editor does after
    // an edit (reason 0x80000001) or a relink (0x80000000); returns its answer or -1.
    long invokeAttributeCallback(long stepRef, long reason);
    // Changes an attribute's value as the operator would in the step editor ("NAME" or
    // "GROUP|NAME"; a button is pressed with "1").
    bool editAttribute(long stepRef, const std::string& name, const std::string& value);
    // A value the step editor saved with the program: given to attribute `name` of step
    // `stepRef` ("NAME": every attribute of that name; "GROUP|NAME") whenever the step defines
    // it, as if edited there. Cleared by reset().
    void presetAttribute(long stepRef, const std::string& name, const std::string& value);

    // ---- used by the rvo_* entry points ----
    long enterStep(long stepRef, const char* stepName, long lineCode, long stepArg,
                   const char* comment, const char* methodName, long dataSize, void** dataOut,
                   RVO_RECORD_ALLOC allocate, RVO_RECORD_FREE release, bool withAlloc);
    long exitStep();
    void exitStepEx(long result);
    // A step result set while no step of the calling thread is entered: a step method that
    // refuses before its entry (no bench, a withdrawn method) still owes its result to the step
    // the executive called. The caller of the method takes it after the call.
    void setLooseResult(long result);
    std::optional<long> takeLooseResult();
    Step* currentStep();
    long verify(Result r);
    long alert(const char* title, const char* text, long flags);
    void guiMessage(long level, const char* text);
    double now() const;
    Attribute* defineAttribute(Attribute a);
    // The list text as attributes keep it: a copy made for one of the last lists is reused while
    // the text is the same.
    SharedText shareList(const char* list);
    Attribute* findAttribute(RVO_COMPONENT component, const void* address);
    long deleteSubResults(RVO_COMPONENT component);
    long registerCallback(Callback cb);
    long unregisterCallback(long kind);
    long expand(const char* text, char* out, long size) const;
    long deviceNaming() const;
    bool groupCompiled() const;
    long stationId() const;
    long stationItemIndex() const;
    long fixturePosition() const;
    long nestUutId(long nestIndex) const;
    void setUutPanelIndex(long uutId, long panelIndex);
    void openProgress(const char* title, const char* text, long steps);
    // Moves the bar; false when the window is closed (also by the operator's answer to this step).
    bool stepProgress(long position, const char* detail);
    void closeProgress();
    SysPara* sysParaRef(const std::string& section, const std::string& name);

  private:
    Runtime() = default;
    long nextPhase(Step& s);

    mutable std::recursive_mutex mutex_;
    std::unordered_map<long, std::unique_ptr<Step>> steps_;
    std::vector<Result> results_;
    std::vector<Alert> alerts_;
    std::vector<Message> messages_;
    std::deque<long> phases_, exitAnswers_, alertAnswers_;
    std::map<long, std::deque<long>> stepExitAnswers_;
    bool compileOnly_ = false, keepResults_ = true, groupCompiled_ = false;
    std::map<long, std::vector<std::pair<std::string, std::string>>> presets_;
    std::function<long(const Alert&)> alertPolicy_;
    std::function<void(long, const std::string&)> messageSink_;
    std::function<void(const Result&)> resultSink_;
    std::function<void(const ProgressWindow&)> progressSink_;
    std::function<double()> clock_;
    std::map<std::string, std::string> settings_;
    long deviceNaming_ = 0;
    long stationId_ = 1, itemIndex_ = 1, fixturePosition_ = 0;
    std::map<long, long> nestUut_; // nest index -> UUT id
    std::map<long, Uut> uuts_;     // UUT id -> UUT
    std::map<std::pair<std::string, std::string>, SysPara> sysParas_;
    std::vector<Callback> callbacks_;
    // Where the attribute callback of each step is in callbacks_: a program of thousands of
    // component steps registers one per step.
    std::unordered_map<long, std::size_t> attributeCallbackAt_;
    void indexAttributeCallbacks();
    std::array<SharedText, 8> lists_; // the lists shared last, replaced in turn
    std::size_t nextList_ = 0;
    ProgressWindow progress_;
    void showProgress();   // hands the window to the sink and the policy
    void notifyProgress(); // hands the window to the sink
};

// The step entered last on the calling thread (nested ICT steps push onto the same stack).
Step* currentThreadStep();

} // namespace kora::rvo
