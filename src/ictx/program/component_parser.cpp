#include "ictx/program/component_parser.h"

#include "frame/args.h"
#include "frame/errors.h"
#include "frame/text.h"
#include "ictx/program/component_classes.h"
#include "ictx/program/component_params.h"
#include "ictx/program/value_template.h"
#include "ictx/program/vector_items.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>

namespace kora {

namespace {

constexpr const char* kPreprocessorCommands =
    "DISABLED,NOREPORT,ABORTONFAIL,LOCKED,SORT,NOSORT,COMPENSATION,CAP0,IND0,RES0";
constexpr const char* kNoFileName = "Invalid file name (NULL)";
constexpr const char* kFileOpen = "File open error";
constexpr const char* kBadPreprocessor = "Invalid Pre-Processor command #%s";
constexpr const char* kCommentBegin =
    "Multi line comment BEGIN definition /* has to be placed at line beginning";
constexpr const char* kCommentEnd = "Multi line comment error: */ without previous /*";
constexpr const char* kTooManySections = "COMPONENT COUNT overflow";
constexpr const char* kBadName = "[%li,?,...] Invalid COMPONENT NAME definition";
constexpr const char* kBadClass = "[%li,%s,?,...] Invalid COMPONENT CLASS TYPE definition";
constexpr const char* kHeaderStrings = " (String buffer overflow)";
constexpr const char* kStrings = "String buffer overflow";
constexpr const char* kKeywordStrings = "%s: Internal STRING buffer overflow";
constexpr const char* kBadValue = "Invalid PARAMETER VALUE definition";
constexpr const char* kBadKeyword = "Invalid PARAMETER NAME '%s'";
constexpr const char* kTooManyTestPins = "More than 4 test points defined";
constexpr const char* kTooManySensePins = "More than 2 sense points defined";
constexpr const char* kTooManyGuardPins = "More than 4 guard points defined";
constexpr const char* kPoolFull = "Insufficient VECTOR BUFFER SPACE (max=%li)";
constexpr const char* kOutsideSection = "PARAMETER outside of a COMPONENT section";
constexpr const char* kSectionSuffix = "\n\nSECTION: [%li,%s,...]";
constexpr const char* kFileSuffix = "\n\nFILE: %s\n\nLINE: %li";
constexpr const char* kSetupVariantPrefix = "-,";

constexpr int kKeywordMM = 20;
constexpr int kKeywordMD = 22;
constexpr int kKeywordTL = 31;

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// The first "//" in [from, end); `from` is at the line's first '/' or later, which the line
// source found in the file's text: a search of the line buffer just written would wait for
// those stores.
char* FindSlashes(char* from, char* end) {
    for (char* p = from; p + 1 < end; ++p) {
        if (p[0] == '/' && p[1] == '/') {
            return p;
        }
    }
    return nullptr;
}

// The section number as atol reads it from `p`: plain digits by from_chars, which takes them
// without atol's locale; anything else (blanks, a '+', a number out of range) by atol's rule.
long SectionIndex(const char* p, const char* end) {
    const char* digits = p < end && *p == '-' ? p + 1 : p;
    if (digits < end && *digits >= '0' && *digits <= '9') {
        long value = 0;
        if (std::from_chars(p, end, value).ec == std::errc()) {
            return value;
        }
    }
    return CLocaleAtol(p);
}

class Parser {
  public:
    Parser(const BenchRecord* bench, ComponentModel* model, ComponentRecord* components,
           int32_t maxComponents, char* strings, std::size_t stringSize, char* error)
        : bench_(bench), model_(model), components_(components), max_(maxComponents),
          error_(error ? error : fallback_) {
        pool_ = StringPool{strings, strings ? stringSize : 0, 0};
    }

    void SetFileName(const char* name) { fileName_ = name; }

    // Handles one line as read, `length` bytes terminated by a 0 with its first '/' at `slash`
    // (`length` for none); the parser may write into it. False ends parsing with the error set.
    bool Line(char* line, std::size_t length, std::size_t slash) {
        ++lineNumber_;
        comment_ = nullptr;
        if (line[0] == '#') {
            return Preprocessor(line);
        }
        char* rest = nullptr;
        if (!ScanComments(line, &rest)) {
            return false;
        }
        CutEndOfLineComment(std::max(rest, line + slash), rest, line + length);
        if (rest[0] == 0) {
            if (comment_ && section_ && section_->classCode == kClassDigital) {
                return CommentItem();
            }
            return true;
        }
        if (rest[0] == '[') {
            return Header(rest, line + length);
        }
        return Parameter(rest);
    }

    int32_t Finish() {
        if (collecting_ && !EndInfo()) {
            return -3;
        }
        return count_;
    }

    // Formats the message and adds the section, file and line it belongs to.
    bool Fail(const char* format, ...) __attribute__((format(printf, 2, 3)));

    void AddSuffix() {
        char suffix[kMessageSize];
        if (section_) {
            FormatText(suffix, sizeof suffix, kSectionSuffix, static_cast<long>(section_->index),
                       section_->name ? section_->name : "");
            AppendText(error_, kMessageSize, suffix);
        }
        FormatText(suffix, sizeof suffix, kFileSuffix, fileName_ ? fileName_ : "", lineNumber_);
        AppendText(error_, kMessageSize, suffix);
    }

  private:
    bool Preprocessor(char* line) {
        if (IsBlank(line[1])) {
            return true;
        }
        char* end = line + 1;
        while (*end && *end != '\t' && *end != ',' && *end != '\r' && *end != '\n') {
            ++end;
        }
        const char* value = *end == '\t' || *end == ',' ? end + 1 : nullptr;
        while (end > line + 1 && end[-1] == ' ') {
            --end;
        }
        *end = 0;
        const char* word = line + 1;
        const int command = MatchKeyword(word, kPreprocessorCommands, ',');
        if (command == 0) {
            return Fail(kBadPreprocessor, word);
        }
        if (!section_) {
            return true;
        }
        switch (command) {
        case 1:
            section_->flags |= kFlagDisabled;
            section_->reportOption = kReportDisabled;
            break;
        case 2:
            section_->flags |= kFlagNoReport;
            section_->reportOption = kReportOff;
            break;
        case 3:
            section_->flags |= kFlagAbortOnFail;
            break;
        case 4:
            section_->flags |= kFlagLocked;
            section_->reportOption = kReportLocked;
            break;
        case 5:
            section_->flags |= kFlagSort;
            break;
        case 6: // NOSORT: accepted, no effect
            break;
        case 7:
            // What the compensation step marked, as the writer saved it.
            section_->flags |= kFlagCompensation;
            break;
        default:
            return CompensationValue(word, value);
        }
        return true;
    }

    // "#CAP0,<value>" (IND0, RES0): the component's own compensation value as the compensation
    // step measured it and the writer saved it; only under its own class.
    bool CompensationValue(const char* word, const char* value) {
        const char* name = CompensationValueName(section_->classCode);
        if (!name || std::strcmp(name, word) != 0) {
            return Fail(kBadPreprocessor, word);
        }
        while (value && IsBlank(*value)) {
            ++value;
        }
        if (!value || !(std::isdigit(static_cast<unsigned char>(*value)) || *value == '.' ||
                        *value == '-' || *value == '+')) {
            return Fail("%s", kBadValue);
        }
        section_->compensation = CLocaleAtof(value);
        return true;
    }

    // Passes over multi-line comments from the start of the line; `rest` gets what follows
    // outside of them.
    bool ScanComments(char* line, char** rest) {
        char* p = line;
        for (;;) {
            const char c = *p;
            if (c == 0) {
                break;
            }
            if (c == '/' && p[1] == '*') {
                if (p != line) {
                    return Fail("%s", kCommentBegin);
                }
                if (depth_ == 0) {
                    StartInfo();
                } else if (!InfoAppend("/*")) {
                    return false;
                }
                ++depth_;
                p += 2;
            } else if (c == '*' && p[1] == '/') {
                if (depth_ == 0) {
                    return Fail("%s", kCommentEnd);
                }
                if (--depth_ == 0) {
                    if (collecting_ && !EndInfo()) {
                        return false;
                    }
                } else if (!InfoAppend("*/")) {
                    return false;
                }
                p += 2;
            } else if (depth_ > 0) {
                const char* from = p;
                while (*p && !(p[0] == '*' && p[1] == '/') && !(p[0] == '/' && p[1] == '*')) {
                    ++p;
                }
                if (!InfoAppend(std::string_view(from, static_cast<std::size_t>(p - from)))) {
                    return false;
                }
            } else if (IsBlank(c)) {
                ++p;
            } else {
                break;
            }
        }
        *rest = p;
        return true;
    }

    void StartInfo() {
        collecting_ = section_ && !infoTaken_;
        infoTaken_ = infoTaken_ || section_ != nullptr;
        infoStart_ = pool_.used;
    }

    bool InfoAppend(std::string_view text) {
        if (!collecting_) {
            return true;
        }
        if (pool_.used + text.size() + 1 > pool_.size) {
            collecting_ = false;
            return Fail("%s", kStrings);
        }
        std::memcpy(pool_.base + pool_.used, text.data(), text.size());
        pool_.used += text.size();
        return true;
    }

    bool EndInfo() {
        collecting_ = false;
        if (pool_.used + 1 > pool_.size) {
            return Fail("%s", kStrings);
        }
        pool_.base[pool_.used++] = 0;
        const char* info = pool_.base + infoStart_;
        while (*info && static_cast<unsigned char>(*info) < 33) {
            ++info;
        }
        section_->info = info;
        return true;
    }

    // `end` is the line's terminating 0; no "//" starts before `from`.
    void CutEndOfLineComment(char* from, char* rest, char* end) {
        char* slashes = FindSlashes(from, end);
        if (slashes) {
            char* text = slashes + 2;
            while (*text == ' ') {
                ++text;
            }
            char* textEnd = end;
            while (textEnd > text && (textEnd[-1] == '\n' || textEnd[-1] == '\r')) {
                *--textEnd = 0;
            }
            if (textEnd > text) {
                comment_ = text;
            }
            *slashes = 0;
            end = slashes;
        }
        while (end > rest && (end[-1] == '\n' || end[-1] == '\r' || IsBlank(end[-1]))) {
            *--end = 0;
        }
    }

    // `end` is the line's end.
    bool Header(char* rest, const char* end) {
        section_ = nullptr;
        const char* p = rest + 1;
        const long index = SectionIndex(p, end);
        std::string_view texts[4];
        if (const char* q = FindChar(p, ',')) {
            ++q;
            for (auto& text : texts) {
                const char* open = FindChar(q, '"');
                if (!open) {
                    break;
                }
                const char* close = FindChar(open + 1, '"');
                const char* end = close ? close : open + 1 + std::strlen(open + 1);
                text =
                    TrimRight(std::string_view(open + 1, static_cast<std::size_t>(end - open - 1)));
                q = close ? close + 1 : end;
            }
        }
        if (count_ >= max_) {
            return Fail("%s", kTooManySections);
        }
        const auto index32 = TruncToInt32(static_cast<double>(index));
        if (texts[0].empty()) {
            return Fail(kBadName, static_cast<long>(index32));
        }
        if (texts[1].empty()) {
            std::string_view name = texts[0];
            char shown[kMessageSize];
            CopyText(shown, name);
            return Fail(kBadClass, static_cast<long>(index32), shown);
        }
        ComponentRecord* rec = &components_[count_];
        std::memset(rec, 0, sizeof *rec);
        rec->headerLine = static_cast<int32_t>(lineNumber_);
        rec->index = index32;
        rec->name = pool_.Copy(texts[0]);
        rec->classText = rec->name ? pool_.Copy(texts[1]) : nullptr;
        bool ok = rec->classText != nullptr;
        ClassOf(texts[1], rec);
        for (uint32_t k = 0; k < rec->subTestCount && k < kSubTests; ++k) {
            rec->sub[k].enable = 1;
            rec->sub[k].mode = '1';
        }
        if (ok && !texts[2].empty()) {
            if (rec->classCode == kClassSetup) {
                const std::size_t start = pool_.used;
                ok = pool_.Copy(kSetupVariantPrefix) && (--pool_.used, pool_.Copy(texts[2]));
                rec->variants = ok ? pool_.base + start : nullptr;
            } else {
                rec->variants = pool_.Copy(texts[2]);
                ok = rec->variants != nullptr;
            }
        }
        if (ok && !texts[3].empty()) {
            rec->comment = pool_.Copy(texts[3]);
            ok = rec->comment != nullptr;
        }
        if (!ok) {
            return Fail("%s", kHeaderStrings);
        }
        ++count_;
        section_ = rec;
        part_ = 0;
        testPins_ = sensePins_ = guardPins_ = 0;
        infoTaken_ = false;
        comment_ = nullptr;
        return true;
    }

    // Sections of one class tend to follow each other: the last class found is kept so that a
    // run of them is matched by one comparison.
    void ClassOf(std::string_view text, ComponentRecord* rec) {
        if (!rec->classText) {
            LookupComponentClass("", &rec->classCode, &rec->subTestCount);
            return;
        }
        if (text != lastClassText_) {
            LookupComponentClass(rec->classText, &lastClassCode_, &lastSubTests_);
            lastClassText_ = rec->classText;
        }
        rec->classCode = lastClassCode_;
        rec->subTestCount = lastSubTests_;
    }

    const char* Copy(std::string_view text, const char* keyword, bool& ok) {
        if (!ok) {
            return nullptr;
        }
        const char* copy = pool_.Copy(text);
        if (!copy) {
            ok = Fail(kKeywordStrings, keyword);
        }
        return copy;
    }

    bool Parameter(char* line) {
        char* eq = FindChar(line, '=');
        if (!eq) {
            return Fail("%s", kBadValue);
        }
        char* keyEnd = eq;
        while (keyEnd > line && IsBlank(keyEnd[-1])) {
            --keyEnd;
        }
        const char* value = eq + 1;
        while (IsBlank(*value)) {
            ++value;
        }
        if (*value == 0) {
            return Fail("%s", kBadValue);
        }
        *keyEnd = 0;
        const char* keyword = line;
        const int k = FindKeyword(keyword);
        if (k == 0) {
            return Fail(kBadKeyword, keyword);
        }
        if (!section_) {
            return Fail("%s", kOutsideSection);
        }
        const KeywordEntry& entry = kKeywords[k - 1];
        TemplateFields f;
        if (!ReadTemplate(entry.tmpl, keyword, value, f, error_)) {
            AddSuffix();
            return false;
        }
        if (k == kKeywordMD && section_->classCode == kClassDigital) {
            VectorItem* item = NewItem(kItemMd);
            if (!item) {
                return false;
            }
            item->level[0] = f.list[0];
            return FinishItem(item, keyword);
        }
        if (entry.type == 0) {
            return StoreParameter(k, keyword, f);
        }
        return StoreItem(entry.type, keyword, f);
    }

    bool StoreParameter(int k, const char* keyword, const TemplateFields& f) {
        ComponentRecord& rec = *section_;
        if (const NumericParam* param = NumericParamOf(k)) {
            for (int n = 0; n < f.listCount; ++n) {
                if (param->real) {
                    rec.sub[n].*(param->real) = f.list[n];
                } else {
                    rec.sub[n].*(param->integer) = f.intList[n];
                }
            }
            rec.paramMask |= param->bit;
            rec.paramMask2 |= param->bit2;
            return true;
        }
        const char** slot = nullptr;
        uint32_t bit = 0;
        switch (k) {
        case 1:
            slot = &rec.pi, bit = kParamPI;
            break;
        case 2:
            slot = &rec.pt, bit = kParamPT;
            break;
        case 3:
            if (testPins_ >= kMaxTestPins) {
                return Fail("%s", kTooManyTestPins);
            }
            slot = &rec.tp[testPins_++], bit = kParamTP;
            break;
        case 4:
            if (sensePins_ >= kMaxSensePins) {
                return Fail("%s", kTooManySensePins);
            }
            slot = &rec.ts[sensePins_++], bit = kParamTS;
            break;
        case 5:
            if (guardPins_ >= kMaxGuardPins) {
                return Fail("%s", kTooManyGuardPins);
            }
            slot = &rec.gp[guardPins_++], bit = kParamGP;
            break;
        case 6:
            slot = &rec.gs, bit = kParamGS;
            break;
        case kKeywordMM:
            slot = &rec.mm, bit = kParamMM;
            break;
        case kKeywordTL:
            slot = &rec.tl, bit = kParamTL;
            break;
        case 32:
        case 33:
            slot = &rec.rl, bit = kParamRL;
            break;
        default:
            slot = &rec.xo, bit = kParamXO;
            break;
        }
        bool ok = true;
        *slot = Copy(f.text[0], keyword, ok);
        rec.paramMask |= bit;
        return ok;
    }

    VectorItem* NewItem(uint32_t type) {
        if (model_->itemCount >= kMaxVectorItems) {
            Fail(kPoolFull, static_cast<long>(kMaxVectorItems));
            return nullptr;
        }
        VectorItem* item = &model_->items[model_->itemCount++];
        // The pin array is most of the item and only its first pinCount entries are ever read.
        std::memset(item, 0, offsetof(VectorItem, pin));
        item->type = type;
        item->line = static_cast<int32_t>(IsJumpItem(type) ? -lineNumber_ : lineNumber_);
        item->part = part_;
        if (!section_->firstItem) {
            section_->firstItem = item;
        }
        section_->itemCount++;
        return item;
    }

    // Adds the line's comment and applies the item rules.
    bool FinishItem(VectorItem* item, const char* keyword) {
        if (comment_) {
            bool ok = true;
            item->comment = Copy(comment_, keyword, ok);
            if (!ok) {
                return false;
            }
        }
        VectorContext ctx{bench_, model_, components_, count_ - 1, &pool_, error_};
        if (!CompleteVectorItem(ctx, section_, item)) {
            AddSuffix();
            return false;
        }
        return true;
    }

    bool CommentItem() {
        VectorItem* item = NewItem(kItemComment);
        if (!item) {
            return false;
        }
        item->comment = pool_.Copy(comment_);
        if (!item->comment) {
            return Fail("%s", kStrings);
        }
        return true;
    }

    bool StoreItem(uint32_t type, const char* keyword, const TemplateFields& f) {
        if (type == kItemPart) {
            part_ = f.value.value;
        }
        VectorItem* item = NewItem(type);
        if (!item) {
            return false;
        }
        bool ok = true;
        item->value = f.value.value;
        item->mask = f.value.mask;
        item->digits = static_cast<uint8_t>(f.value.digits);
        item->format = f.value.format;
        item->stateCount = f.value.states;
        if (f.hasRaw) {
            item->raw = Copy(f.raw, keyword, ok);
        }
        for (int n = 0; n < 3; ++n) {
            item->level[n] = f.reals[n];
        }
        switch (type) {
        case kItemDi:
        case kItemDo:
        case kItemDc:
        case kItemStat:
        case kItemVmir:
        case kItemVmor:
            if (f.hasText[0]) {
                item->pins = Copy(f.text[0], keyword, ok);
            }
            break;
        case kItemGroup:
            if (f.hasText[1]) {
                item->pins = Copy(f.text[1], keyword, ok);
            }
            break;
        case kItemFail:
        case kItemPass:
        case kItemRepeat:
            item->count = static_cast<uint32_t>(f.ints[0]);
            item->label = Copy(f.text[0], keyword, ok);
            break;
        case kItemDterm:
            item->value = static_cast<uint32_t>(f.ints[0]);
            item->second = static_cast<uint32_t>(f.ints[1]);
            break;
        case kItemInsert:
            item->value = static_cast<uint32_t>(f.ints[0]);
            item->label = Copy(f.text[0], keyword, ok);
            break;
        case kItemLabel:
        case kItemStateEq:
        case kItemStateNe:
        case kItemIlimJump:
        case kItemGoto:
        case kItemToJump:
            item->label = Copy(f.text[0], keyword, ok);
            break;
        default:
            break;
        }
        return ok && FinishItem(item, keyword);
    }

    const BenchRecord* bench_;
    ComponentModel* model_;
    ComponentRecord* components_;
    int32_t max_;
    char* error_;
    char fallback_[kMessageSize] = {};
    StringPool pool_{};
    const char* fileName_ = nullptr;
    long lineNumber_ = 0;
    int32_t count_ = 0;
    ComponentRecord* section_ = nullptr;
    int depth_ = 0;
    bool collecting_ = false;
    bool infoTaken_ = false;
    std::size_t infoStart_ = 0;
    const char* comment_ = nullptr;
    std::string_view lastClassText_; // in the string pool, which outlives the parser
    uint32_t lastClassCode_ = 0;
    uint32_t lastSubTests_ = 0;
    uint32_t part_ = 0;
    int testPins_ = 0;
    int sensePins_ = 0;
    int guardPins_ = 0;
};

bool Parser::Fail(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(error_, kMessageSize, format, args);
    va_end(args);
    AddSuffix();
    return false;
}

// Lines as fgets gives them: up to and including the line end, at most kComponentLineSize - 1
// bytes at a time. A file is read whole first: one read instead of a library call per line.
// Each line is copied out to be parsed, as the parser writes into it: cutting it where it
// stands would leave stores right where the next line's search for its end reads, which costs
// more than the copy.
class LineSource {
  public:
    explicit LineSource(std::string_view text) : text_(text) {}

    // Copies the next line into `line` and gives its length and the offset of its first '/'.
    bool Next(char* line, std::size_t* length, std::size_t* slash) {
        if (pos_ >= text_.size()) {
            return false;
        }
        const std::size_t room = std::min(kComponentLineSize - 1, text_.size() - pos_);
        const char* from = text_.data() + pos_;
        const void* newline = std::memchr(from, '\n', room);
        const std::size_t n =
            newline ? static_cast<std::size_t>(static_cast<const char*>(newline) - from) + 1 : room;
        const void* first = std::memchr(from, '/', n);
        *slash = first ? static_cast<std::size_t>(static_cast<const char*>(first) - from) : n;
        std::memcpy(line, from, n);
        line[n] = 0;
        pos_ += n;
        *length = n;
        return true;
    }

  private:
    std::string_view text_;
    std::size_t pos_ = 0;
};

// What fgets would have given before an error or the end of the file.
std::string ReadWhole(std::FILE* file) {
    constexpr std::size_t kBlock = 1 << 16;
    std::string text;
    if (std::fseek(file, 0, SEEK_END) == 0) {
        const long size = std::ftell(file);
        if (size > 0) {
            text.reserve(static_cast<std::size_t>(size) + 1);
        }
        std::rewind(file);
    }
    std::size_t used = 0;
    for (;;) {
        // The file's size as reserved, then blocks for whatever it has grown by since.
        const std::size_t block = text.capacity() > used ? text.capacity() - used : kBlock;
        text.resize(used + block);
        const std::size_t n = std::fread(text.data() + used, 1, block, file);
        used += n;
        if (n < block) {
            break;
        }
    }
    text.resize(used);
    return text;
}

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

int32_t Run(Parser& parser, std::string_view text) {
    std::unique_ptr<char, FreeDeleter> line(static_cast<char*>(std::malloc(kComponentLineSize)));
    if (!line) {
        parser.Fail("%s", kStrings);
        return -3;
    }
    LineSource source(text);
    std::size_t length = 0;
    std::size_t slash = 0;
    while (source.Next(line.get(), &length, &slash)) {
        if (!parser.Line(line.get(), length, slash)) {
            return -3;
        }
    }
    return parser.Finish();
}

void StartModel(ComponentModel* model, const char* fileName, char* error) {
    CopyText(model->fileName, fileName);
    model->itemCount = 0;
    if (error) {
        error[0] = 0;
    }
}

} // namespace

int32_t ParseComponentFile(const BenchRecord* bench, ComponentModel* model, const char* fileName,
                           ComponentRecord* components, int32_t maxComponents, char* strings,
                           std::size_t stringSize, char* error) {
    if (!fileName) {
        CopyText(error, kMessageSize, kNoFileName);
        return -1;
    }
    StartModel(model, fileName, error);
    Parser parser(bench, model, components, maxComponents, strings, stringSize, error);
    parser.SetFileName(model->fileName);
    std::FILE* file = std::fopen(fileName, "r");
    if (!file) {
        parser.Fail("%s", kFileOpen);
        return -2;
    }
    const std::string text = ReadWhole(file);
    std::fclose(file);
    return Run(parser, text);
}

int32_t ParseComponentText(const BenchRecord* bench, ComponentModel* model, const char* fileName,
                           std::string_view text, ComponentRecord* components,
                           int32_t maxComponents, char* strings, std::size_t stringSize,
                           char* error) {
    StartModel(model, fileName ? fileName : "", error);
    Parser parser(bench, model, components, maxComponents, strings, stringSize, error);
    parser.SetFileName(model->fileName);
    return Run(parser, text);
}

} // namespace kora
