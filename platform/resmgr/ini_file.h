// The configuration files of the resource manager: Windows-style profile (INI) files.
//
// Format, as parsed by inih with our own line feeding:
// - "[name]" starts a section; the name is trimmed. Text after the ']' is ignored.
// - "key = value" (or "key: value") adds a key; key and value are trimmed. The first '=' or ':'
//   separates them, so a key name cannot hold either.
// - Lines starting with ';' or '#' are comments; " ;" (a ';' after white space) starts a comment
//   at the end of a value or section line.
// - Leading white space of a line is ignored (there are no continuation lines). A UTF-8 byte-order
//   mark at the start is skipped. Lines end with "\n" or "\r\n".
// - Sections and keys keep the order in which they are written. A section written twice is one
//   section at the place of its first header, with the keys of both parts. A key written twice in a
//   section is listed twice; lookups find the first.
// - Names match without regard to ASCII case and are handed back as written.
// Errors (the first one is reported, with its line): a line that is neither section, key nor
// comment, a section header without ']', an empty section or key name, a key before the first
// section, a NUL byte, a line longer than MaxLineLength() characters (32766).
#ifndef KORA_PLATFORM_RESMGR_INI_FILE_H
#define KORA_PLATFORM_RESMGR_INI_FILE_H

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#if defined(__GNUC__)
#define KORA_RESMGR_INTERNAL_API __attribute__((visibility("default")))
#else
#define KORA_RESMGR_INTERNAL_API
#endif

namespace kora::resmgr {

// ASCII case folding, independent of the process locale.
KORA_RESMGR_INTERNAL_API std::string FoldCase(std::string_view text);
KORA_RESMGR_INTERNAL_API bool EqualsNoCase(std::string_view a, std::string_view b);

struct IniEntry {
    std::string key;
    std::string value;
};

class KORA_RESMGR_INTERNAL_API IniSection {
  public:
    explicit IniSection(std::string name) : name_(std::move(name)) {}

    const std::string& name() const { return name_; }
    const std::vector<IniEntry>& entries() const { return entries_; }
    // First entry with this key, nullptr when there is none.
    const IniEntry* find(std::string_view key) const;
    void add(std::string key, std::string value);

  private:
    std::string name_;
    std::vector<IniEntry> entries_;
    std::unordered_map<std::string, std::size_t> firstByKey_; // folded key -> entry index
};

class KORA_RESMGR_INTERNAL_API IniFile {
  public:
    // Longest line (without its end) the parser takes: inih's line buffer less "\n" and NUL.
    static std::size_t MaxLineLength();

    // Parses text held in memory. On failure returns nothing and, when error is given, stores
    // "line N: reason". Never reads outside text; NUL bytes are errors, not terminators.
    static std::optional<IniFile> parse(std::string_view text, std::string* error);
    // Reads and parses a file; errors read "PATH: reason" or "PATH, line N: reason". unreadable
    // tells a file that cannot be read from one with a syntax error.
    static std::optional<IniFile> load(const std::string& path, std::string* error,
                                       bool* unreadable = nullptr);

    const std::vector<IniSection>& sections() const { return sections_; }
    const IniSection* findSection(std::string_view name) const;
    // The value of the first such key in the section, nullptr when section or key is missing.
    const std::string* findValue(std::string_view section, std::string_view key) const;

    // Used while parsing: the section of that name, added at the end when new.
    std::size_t openSection(std::string_view name);
    IniSection& sectionAt(std::size_t index) { return sections_[index]; }

  private:
    std::vector<IniSection> sections_;
    std::unordered_map<std::string, std::size_t> sectionByName_; // folded name -> index
};

} // namespace kora::resmgr

#endif
