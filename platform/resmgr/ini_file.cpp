#include "ini_file.h"

#include <ini.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kora::resmgr {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// inih's line buffer. Its default, 200 bytes on the stack, is too short for option strings and
// values of up to 1024 characters; Windows profile functions take values of up to 32767.
constexpr int kLineBuffer = 32768;

// Debian's inih takes its buffer settings at run time. They are process-wide, so they are set
// once, before our first parse, and never changed again: a heap buffer of kLineBuffer bytes.
void ConfigureInih() {
    static const bool configured = [] {
        ini_use_stack = false;
        ini_allow_realloc = false;
        ini_max_line = kLineBuffer;
        ini_initial_alloc = kLineBuffer;
        return true;
    }();
    (void)configured;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

char FoldChar(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// The name between '[' and ']' of a section line as inih sees it: a ';' after white space starts
// a comment, so a ']' behind it does not count. Empty optional when there is no closing ']'.
std::optional<std::string_view> SectionName(std::string_view line) {
    bool afterBlank = false;
    for (std::size_t i = 1; i < line.size(); ++i) {
        const char c = line[i];
        if (c == ']') {
            return Trim(line.substr(1, i - 1));
        }
        if (c == ';' && afterBlank) {
            return std::nullopt;
        }
        afterBlank = IsBlank(c);
    }
    return std::nullopt;
}

// Feeds inih one physical line per call, so that its line numbers are ours, and keeps what inih
// cannot be told: section order (it reports only keys), full-length section names, and the lines
// it must never see (NUL bytes, lines longer than its buffer).
struct LineFeed {
    std::string_view text;
    std::size_t pos = 0;
    int line = 0;
    IniFile* file = nullptr;
    std::optional<std::size_t> section; // index of the current section
    int errorLine = 0;                  // first error found here, 0 = none
    std::string errorText;
    bool stopped = false;
    int bufferSize = 0; // inih's line buffer as last offered to the reader

    void fail(std::string reason) {
        if (errorLine == 0 || line < errorLine) {
            errorLine = line;
            errorText = std::move(reason);
        }
    }
};

char* ReadLine(char* buffer, int size, void* stream) {
    auto* feed = static_cast<LineFeed*>(stream);
    feed->bufferSize = size;
    if (feed->stopped || feed->pos >= feed->text.size() || size < 2) {
        return nullptr;
    }
    if (feed->pos == 0 && feed->text.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
        feed->pos = kByteOrderMark.size();
    }
    const std::size_t end = feed->text.find('\n', feed->pos);
    const std::size_t stop = end == std::string_view::npos ? feed->text.size() : end;
    std::string_view raw = feed->text.substr(feed->pos, stop - feed->pos);
    feed->pos = end == std::string_view::npos ? feed->text.size() : end + 1;
    ++feed->line;

    if (raw.find('\0') != std::string_view::npos) {
        feed->fail("NUL byte in the line");
        feed->stopped = true;
        return nullptr;
    }
    while (!raw.empty() && IsBlank(raw.front())) {
        raw.remove_prefix(1);
    }
    while (!raw.empty() && raw.back() == '\r') {
        raw.remove_suffix(1);
    }
    // Room for the line, its "\n" and the terminating NUL.
    if (raw.size() > static_cast<std::size_t>(size) - 2) {
        feed->fail("line longer than " + std::to_string(size - 2) + " characters");
        feed->stopped = true;
        return nullptr;
    }
    if (!raw.empty() && raw.front() == '[') {
        if (const auto name = SectionName(raw)) {
            if (name->empty()) {
                feed->fail("empty section name");
            } else {
                try {
                    feed->section = feed->file->openSection(*name);
                } catch (...) {
                    feed->fail("out of memory");
                    feed->stopped = true;
                    return nullptr;
                }
            }
        }
        // Without ']' inih reports the line itself.
    }
    std::memcpy(buffer, raw.data(), raw.size());
    buffer[raw.size()] = '\n';
    buffer[raw.size() + 1] = '\0';
    return buffer;
}

int TakeKey(void* user, const char* /*section*/, const char* name, const char* value) {
    auto* feed = static_cast<LineFeed*>(user);
    if (name == nullptr || value == nullptr) {
        return 1;
    }
    if (!feed->section) {
        feed->fail("key before the first section header");
        return 1;
    }
    if (*name == '\0') {
        feed->fail("empty key name");
        return 1;
    }
    try {
        feed->file->sectionAt(*feed->section).add(name, value);
    } catch (...) {
        feed->fail("out of memory");
        feed->stopped = true;
    }
    return 1;
}

// What inih objected to in line `number` (1-based).
std::string DescribeInihError(std::string_view text, int number) {
    if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
        text.remove_prefix(kByteOrderMark.size());
    }
    for (int n = 1; n < number; ++n) {
        const std::size_t end = text.find('\n');
        if (end == std::string_view::npos) {
            return "syntax error";
        }
        text.remove_prefix(end + 1);
    }
    const std::string_view line = Trim(text.substr(0, text.find('\n')));
    if (!line.empty() && line.front() == '[') {
        return "section header without closing ']'";
    }
    return "expected \"key = value\", a [section] or a comment";
}

} // namespace

std::string FoldCase(std::string_view text) {
    std::string folded(text);
    std::transform(folded.begin(), folded.end(), folded.begin(), FoldChar);
    return folded;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return FoldChar(x) == FoldChar(y);
           });
}

const IniEntry* IniSection::find(std::string_view key) const {
    const auto it = firstByKey_.find(FoldCase(key));
    return it == firstByKey_.end() ? nullptr : &entries_[it->second];
}

void IniSection::add(std::string key, std::string value) {
    firstByKey_.try_emplace(FoldCase(key), entries_.size());
    entries_.push_back(IniEntry{std::move(key), std::move(value)});
}

std::size_t IniFile::MaxLineLength() {
    // inih tells its buffer size only to the reader; ask it once with a one-line text.
    static const std::size_t length = [] {
        ConfigureInih();
        IniFile probe;
        LineFeed feed;
        feed.text = "[probe]\n";
        feed.file = &probe;
        ini_parse_stream(ReadLine, &feed, TakeKey, &feed);
        return feed.bufferSize > 2 ? static_cast<std::size_t>(feed.bufferSize - 2) : 0;
    }();
    return length;
}

std::optional<IniFile> IniFile::parse(std::string_view text, std::string* error) {
    try {
        ConfigureInih();
        IniFile file;
        LineFeed feed;
        feed.text = text;
        feed.file = &file;
        const int inihResult = ini_parse_stream(ReadLine, &feed, TakeKey, &feed);
        int line = feed.errorLine;
        std::string reason = feed.errorText;
        if (inihResult > 0 && (line == 0 || inihResult < line)) {
            line = inihResult;
            reason = DescribeInihError(text, inihResult);
        } else if (inihResult < 0 && line == 0) {
            line = 1;
            reason = "parser out of memory";
        }
        if (line != 0) {
            if (error != nullptr) {
                *error = "line " + std::to_string(line) + ": " + reason;
            }
            return std::nullopt;
        }
        return file;
    } catch (...) {
        if (error != nullptr) {
            *error = "out of memory";
        }
        return std::nullopt;
    }
}

std::optional<IniFile> IniFile::load(const std::string& path, std::string* error,
                                     bool* unreadable) {
    if (unreadable != nullptr) {
        *unreadable = false;
    }
    std::string content;
    std::string failure;
    errno = 0;
    if (std::FILE* in = std::fopen(path.c_str(), "rb")) {
        char chunk[8192];
        std::size_t got = 0;
        while ((got = std::fread(chunk, 1, sizeof chunk, in)) > 0) {
            content.append(chunk, got);
        }
        if (std::ferror(in) != 0) {
            failure = std::strerror(errno != 0 ? errno : EIO);
        }
        std::fclose(in);
    } else {
        failure = std::strerror(errno != 0 ? errno : ENOENT);
    }
    if (!failure.empty()) {
        if (unreadable != nullptr) {
            *unreadable = true;
        }
        if (error != nullptr) {
            *error = path + ": " + failure;
        }
        return std::nullopt;
    }
    std::string reason;
    auto file = parse(content, &reason);
    if (!file && error != nullptr) {
        *error = path + ", " + reason;
    }
    return file;
}

const IniSection* IniFile::findSection(std::string_view name) const {
    const auto it = sectionByName_.find(FoldCase(name));
    return it == sectionByName_.end() ? nullptr : &sections_[it->second];
}

const std::string* IniFile::findValue(std::string_view section, std::string_view key) const {
    const IniSection* found = findSection(section);
    if (found == nullptr) {
        return nullptr;
    }
    const IniEntry* entry = found->find(key);
    return entry == nullptr ? nullptr : &entry->value;
}

std::size_t IniFile::openSection(std::string_view name) {
    const auto [it, added] = sectionByName_.try_emplace(FoldCase(name), sections_.size());
    if (added) {
        sections_.emplace_back(std::string(name));
    }
    return it->second;
}

} // namespace kora::resmgr
