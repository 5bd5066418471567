// The subset reader behind yaml::Load. Programs are written in block YAML: mappings and
// sequences by indentation, one-line plain or quoted scalars, flow collections on one line
// ({type: reals, size: 2, value: [1, 2]}), comments and a document start. libyaml spends most of a
// program's load producing and freeing tokens and events for these; this reader goes over the text
// once and builds the same tree (types, texts, lines) in the document's arena.
//
// It is strict: whatever it is not sure to read as libyaml does (a tab, a byte outside printable
// ASCII, anchors, tags, block or multi-line scalars, flows over several lines, complex keys,
// directives, a second document, a line indented where it cannot continue anything, any error)
// gives up on the whole text, and libyaml reads it instead, with its own answer or message.
#include "yaml_tree.h"

#include <algorithm>
#include <cstring>

namespace kora::run::yaml {

namespace {

// The text leaves the subset.
struct Unsupported {};

// Deeper nesting is left to libyaml rather than to this reader's stack.
constexpr int kMaxDepth = 64;
// libyaml takes a one-line key only within its first 1024 characters.
constexpr std::ptrdiff_t kMaxKeyLength = 1000;
// Characters that cannot start a plain scalar; '-' can when no blank follows.
constexpr std::string_view kIndicators = "-?:,[]{}#&*!|>'\"%@`";
// Where a plain scalar in a flow collection ends, or meets what this reader leaves to libyaml.
constexpr std::string_view kFlowPlainStops = std::string_view(",[]{}:#'\"\n\0", 11);

// The escapes of double-quoted scalars kept here; \x, \u, \U and the Unicode names go to libyaml.
constexpr struct {
    char code, value;
} kEscapes[] = {{'\\', '\\'},  {'"', '"'},    {'/', '/'},   {' ', ' '},    {'n', '\n'},
                {'t', '\t'},   {'r', '\r'},   {'0', '\0'},  {'a', '\x07'}, {'b', '\x08'},
                {'e', '\x1b'}, {'f', '\x0c'}, {'v', '\x0b'}};

// Space, line break or the end of the text (the terminating NUL: the text holds no other).
bool Blank(char c) {
    return c == ' ' || c == '\n' || c == '\0';
}

// Only line feeds and printable ASCII: no tabs, carriage returns, NULs, BOMs or UTF-8.
bool PlainAscii(const std::string& text) {
    bool ok = true;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        ok &= (c >= 0x20 && c < 0x7f) || c == '\n';
    }
    return ok;
}

class SimpleParser {
  public:
    SimpleParser(const std::string& text, Document& doc, NodeData& (Document::*add)(NodeType, int))
        : doc_(doc), add_(add), p_(text.c_str()), lineStart_(p_) {}

    const NodeData* ParseDocument() {
        if (!SkipToContent()) {
            throw Unsupported{}; // no document at all
        }
        if (indent_ == 0 && std::strncmp(p_, "---", 3) == 0 && Blank(p_[3])) {
            p_ += 3;
            EndLine();
            if (!SkipToContent()) {
                throw Unsupported{};
            }
        }
        started_ = true;
        if (indent_ != 0) {
            throw Unsupported{};
        }
        const NodeData* root = BlockNode(0);
        if (!eof_) {
            throw Unsupported{};
        }
        return root;
    }

  private:
    NodeData& Add(NodeType type, int line) { return (doc_.*add_)(type, line); }
    int Column() const { return static_cast<int>(p_ - lineStart_); }
    void SkipSpaces() {
        while (*p_ == ' ') {
            ++p_;
        }
    }
    // At the end of a line's content: its break, the text's end or a comment.
    bool AtLineEnd() const { return *p_ == '\n' || *p_ == '\0' || (*p_ == '#' && p_[-1] == ' '); }
    bool AtEntry() const { return *p_ == '-' && Blank(p_[1]); }
    static bool PlainStart(const char* c) {
        if (Blank(*c)) {
            return false;
        }
        return kIndicators.find(*c) == std::string_view::npos || (*c == '-' && !Blank(c[1]));
    }

    // From the start of a line to the first character of the next line with content, past blank
    // and comment lines; false at the end of the text.
    bool SkipToContent() {
        for (;;) {
            SkipSpaces();
            if (*p_ == '\0') {
                eof_ = true;
                return false;
            }
            if (*p_ == '#') {
                while (*p_ != '\n' && *p_ != '\0') {
                    ++p_;
                }
            }
            if (*p_ == '\n') {
                ++p_;
                ++line_;
                lineStart_ = p_;
                continue;
            }
            if (*p_ == '\0') {
                continue;
            }
            indent_ = Column();
            if (indent_ == 0 && ((started_ && std::strncmp(p_, "---", 3) == 0) ||
                                 std::strncmp(p_, "...", 3) == 0)) {
                throw Unsupported{}; // a document marker, or a text that starts like one
            }
            return true;
        }
    }

    // After a value: nothing but spaces and a comment up to the line break, which is passed.
    void EndLine() {
        SkipSpaces();
        if (*p_ == '#' && p_[-1] == ' ') {
            while (*p_ != '\n' && *p_ != '\0') {
                ++p_;
            }
        }
        if (*p_ == '\n') {
            ++p_;
            ++line_;
            lineStart_ = p_;
        } else if (*p_ != '\0') {
            throw Unsupported{};
        }
    }

    // Whether a key and its ':' start here; colon_ then points at the ':'.
    bool KeyAhead() {
        const char* q = p_;
        if (*q == '"' || *q == '\'') {
            const char quote = *q++;
            for (;;) {
                if (*q == '\n' || *q == '\0') {
                    return false;
                }
                if (quote == '"' && *q == '\\') {
                    if (q[1] == '\n' || q[1] == '\0') {
                        return false;
                    }
                    q += 2;
                } else if (*q != quote) {
                    ++q;
                } else if (quote == '\'' && q[1] == '\'') {
                    q += 2;
                } else {
                    ++q;
                    break;
                }
            }
        } else {
            if (!PlainStart(q)) {
                return false;
            }
            while (!(*q == ':' && Blank(q[1]))) {
                if (*q == '\n' || *q == '\0' || (*q == ' ' && q[1] == '#')) {
                    return false;
                }
                ++q;
            }
            if (q[-1] == ' ') {
                return false;
            }
        }
        if (*q != ':' || !Blank(q[1]) || q - p_ > kMaxKeyLength) {
            return false;
        }
        colon_ = q;
        return true;
    }

    // The key that KeyAhead found; leaves p_ past its ':'.
    const NodeData* Key() {
        const char* colon = colon_;
        const NodeData* key = *p_ == '"' || *p_ == '\'' ? Quoted() : Plain(colon);
        if (p_ != colon) {
            throw Unsupported{};
        }
        ++p_;
        return key;
    }

    // A plain scalar from p_ to `end`.
    const NodeData* Plain(const char* end) {
        const std::string_view text(p_, static_cast<std::size_t>(end - p_));
        p_ = end;
        if (IsNullWord(text)) {
            return &Add(NodeType::Null, line_);
        }
        NodeData& n = Add(NodeType::Scalar, line_);
        n.scalar.assign(text);
        return &n;
    }

    const NodeData* Quoted() {
        NodeData& n = Add(NodeType::Scalar, line_);
        const char quote = *p_++;
        for (;;) {
            const char* run = p_;
            while (*p_ != quote && *p_ != '\\' && *p_ != '\n' && *p_ != '\0') {
                ++p_;
            }
            n.scalar.append(run, p_);
            if (*p_ == '\n' || *p_ == '\0') {
                throw Unsupported{}; // a scalar over several lines
            }
            if (*p_ == '\\') {
                if (quote == '\'') {
                    n.scalar.push_back(*p_++);
                    continue;
                }
                const char code = p_[1];
                const auto* e = std::find_if(std::begin(kEscapes), std::end(kEscapes),
                                             [code](const auto& x) { return x.code == code; });
                if (e == std::end(kEscapes)) {
                    throw Unsupported{};
                }
                n.scalar.push_back(e->value);
                p_ += 2;
                continue;
            }
            ++p_; // the closing quote, or the first of ''
            if (quote == '\'' && *p_ == '\'') {
                n.scalar.push_back(*p_++);
                continue;
            }
            return &n;
        }
    }

    // A value that starts on the line of its key or '-': a scalar or a flow collection.
    const NodeData* InlineValue(int depth) {
        switch (*p_) {
        case '"':
        case '\'':
            return Quoted();
        case '[':
        case '{':
            return Flow(depth + 1);
        default:
            break;
        }
        if (!PlainStart(p_)) {
            throw Unsupported{};
        }
        const char* q = p_;
        while (*q != '\n' && *q != '\0' && !(*q == ' ' && q[1] == '#')) {
            if (*q == ':' && Blank(q[1])) {
                throw Unsupported{}; // a second key on the line: libyaml's error
            }
            ++q;
        }
        return PlainBefore(q);
    }

    // The plain scalar from here to q, its trailing spaces left out; reading goes on at q.
    const NodeData* PlainBefore(const char* q) {
        const char* end = q;
        while (end[-1] == ' ') {
            --end;
        }
        const NodeData* n = Plain(end);
        p_ = q;
        return n;
    }

    // An entry of a flow collection: a scalar, or a collection on the same line.
    const NodeData* FlowEntry(int depth) {
        if (*p_ == '"' || *p_ == '\'') {
            return Quoted();
        }
        if (*p_ == '[' || *p_ == '{') {
            return Flow(depth + 1);
        }
        if (!PlainStart(p_) ||
            (*p_ == '-' && kFlowPlainStops.find(p_[1]) != std::string_view::npos)) {
            throw Unsupported{};
        }
        const char* q = p_;
        while (kFlowPlainStops.find(*q) == std::string_view::npos) {
            ++q;
        }
        return PlainBefore(q);
    }

    // [a, b] or {a: 1, b: [2, 3]}, on one line.
    const NodeData* Flow(int depth) {
        if (depth > kMaxDepth) {
            throw Unsupported{};
        }
        const bool map = *p_ == '{';
        const char close = map ? '}' : ']';
        NodeData& n = Add(map ? NodeType::Map : NodeType::Sequence, line_);
        ++p_;
        SkipSpaces();
        if (*p_ == close) {
            ++p_;
            return &n;
        }
        for (;;) {
            n.items.push_back(FlowEntry(depth));
            if (map) {
                if (*p_ != ':' || p_[1] != ' ') {
                    throw Unsupported{};
                }
                p_ += 2;
                SkipSpaces();
                n.items.push_back(FlowEntry(depth));
            }
            SkipSpaces();
            if (*p_ == close) {
                ++p_;
                return &n;
            }
            if (*p_ != ',') {
                throw Unsupported{};
            }
            ++p_;
            SkipSpaces();
        }
    }

    // The collection whose first entry starts at p_.
    const NodeData* BlockNode(int depth) {
        if (depth > kMaxDepth) {
            throw Unsupported{};
        }
        if (AtEntry()) {
            return Sequence(Column(), depth);
        }
        if (KeyAhead()) {
            return Mapping(Column(), depth);
        }
        throw Unsupported{}; // a scalar or flow on a line of its own
    }

    // Entries '-' in column `indent`; returns at the first line that is not one.
    const NodeData* Sequence(int indent, int depth) {
        NodeData& seq = Add(NodeType::Sequence, line_);
        for (;;) {
            const int entryLine = line_;
            ++p_;
            SkipSpaces();
            if (AtLineEnd()) {
                EndLine();
                if (SkipToContent() && indent_ > indent) {
                    seq.items.push_back(BlockNode(depth + 1));
                } else {
                    seq.items.push_back(&Add(NodeType::Null, entryLine));
                }
            } else if (AtEntry()) {
                throw Unsupported{}; // - - a
            } else if (KeyAhead()) {
                seq.items.push_back(Mapping(Column(), depth + 1));
            } else {
                seq.items.push_back(InlineValue(depth));
                EndLine();
                if (SkipToContent() && indent_ > indent) {
                    throw Unsupported{};
                }
            }
            if (eof_ || indent_ < indent) {
                return &seq;
            }
            if (indent_ > indent) {
                throw Unsupported{};
            }
            if (!AtEntry()) {
                return &seq; // the next key of the mapping this sequence is the value of
            }
        }
    }

    // Keys in column `indent`; returns at the first line indented less.
    const NodeData* Mapping(int indent, int depth) {
        NodeData& map = Add(NodeType::Map, line_);
        for (;;) {
            const int keyLine = line_;
            map.items.push_back(Key());
            SkipSpaces();
            if (AtLineEnd()) {
                EndLine();
                const bool more = SkipToContent();
                if (more && indent_ > indent) {
                    map.items.push_back(BlockNode(depth + 1));
                } else if (more && indent_ == indent && AtEntry()) {
                    map.items.push_back(Sequence(indent, depth + 1));
                } else {
                    map.items.push_back(&Add(NodeType::Null, keyLine));
                }
            } else {
                map.items.push_back(InlineValue(depth));
                EndLine();
                if (SkipToContent() && indent_ > indent) {
                    throw Unsupported{};
                }
            }
            if (eof_ || indent_ < indent) {
                return &map;
            }
            if (indent_ > indent || !KeyAhead()) {
                throw Unsupported{};
            }
        }
    }

    Document& doc_;
    NodeData& (Document::*add_)(NodeType, int);
    const char* p_;
    const char* lineStart_;
    const char* colon_ = nullptr;
    int line_ = 0;
    int indent_ = 0;
    bool eof_ = false;
    bool started_ = false;
};

} // namespace

std::optional<Document> LoadSimple(const std::string& text) {
    if (!PlainAscii(text)) {
        return std::nullopt;
    }
    Document doc;
    try {
        doc.root_ = SimpleParser(text, doc, &Document::Add).ParseDocument();
    } catch (const Unsupported&) {
        return std::nullopt;
    }
    return doc;
}

} // namespace kora::run::yaml
