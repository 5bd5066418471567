// The YAML documents kora-run reads (programs, their executive section), parsed into a tree of
// plain nodes. Programs keep to a small block subset of YAML, which a reader of its own builds
// directly; any other document (anchors, tags, block scalars, multi-line scalars or flow
// collections, a syntax error...) goes to libyaml's event parser, so that what a document means
// and every error with its line stay libyaml's. The handle's interface is the part of yaml-cpp's
// Node that the loaders use, with the same answers: a null value is defined and not a scalar, a
// missing key gives an undefined node whose mark line is -1, the first of two equal keys wins.
#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <memory_resource>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kora::run::yaml {

enum class NodeType { Undefined, Null, Scalar, Sequence, Map };

struct Mark {
    int line = -1; // 0-based
};

// A syntax error of the document, or a key that is not a scalar.
struct Exception {
    Mark mark;
    std::string msg;
};

// Nodes, their texts and lists live in the document's arena: a program's tens of thousands of
// nodes cost no allocation each and go in one release.
struct NodeData {
    explicit NodeData(std::pmr::memory_resource* arena) : scalar(arena), items(arena) {}
    NodeType type = NodeType::Null;
    int line = -1;
    std::pmr::string scalar;
    std::pmr::vector<const NodeData*> items; // a sequence's elements; a map's keys and values
};

class Node;

// A key and its value in a map, or an element of a sequence (the Node itself).
struct Item;

class Node {
  public:
    Node() = default;
    explicit Node(NodeType) {} // an undefined node
    explicit Node(const NodeData* data) : d_(data) {}

    explicit operator bool() const { return d_ != nullptr; }
    bool IsDefined() const { return d_ != nullptr; }
    bool IsNull() const { return d_ && d_->type == NodeType::Null; }
    bool IsScalar() const { return d_ && d_->type == NodeType::Scalar; }
    bool IsSequence() const { return d_ && d_->type == NodeType::Sequence; }
    bool IsMap() const { return d_ && d_->type == NodeType::Map; }
    std::string Scalar() const;
    yaml::Mark Mark() const { return {d_ ? d_->line : -1}; }
    std::size_t size() const;
    void reset(const Node& other) { d_ = other.d_; }

    // The value of `key` in a map; undefined when absent or when this is no map.
    Node operator[](std::string_view key) const;

    // A key as text: the scalar, "null" for a null; anything else throws "bad conversion".
    template <class T> T as() const;

    class iterator;
    iterator begin() const;
    iterator end() const;

  private:
    const NodeData* d_ = nullptr;
};

struct Item : Node {
    Node first, second;
};

class Node::iterator {
  public:
    iterator(const NodeData* node, std::size_t at) : node_(node), at_(at) {}
    Item operator*() const;
    iterator& operator++() {
        at_ += node_ && node_->type == NodeType::Map ? 2 : 1;
        return *this;
    }
    bool operator!=(const iterator& o) const { return at_ != o.at_ || node_ != o.node_; }

  private:
    const NodeData* node_;
    std::size_t at_;
};

template <> std::string Node::as<std::string>() const;

class Document;

// Parses the first document of `text`; throws Exception on a syntax error.
Document Load(const std::string& text);

// The two readers behind Load, apart so that they can be compared: libyaml's, and the subset
// reader, which gives nothing for a text outside its subset.
Document LoadWithLibyaml(const std::string& text);
std::optional<Document> LoadSimple(const std::string& text);

// The plain scalars that read as null.
bool IsNullWord(std::string_view text);

// A parsed document: owns its nodes, which the handles point to.
class Document {
  public:
    Node root() const { return Node(root_); }

  private:
    friend Document LoadWithLibyaml(const std::string& text);
    friend std::optional<Document> LoadSimple(const std::string& text);
    NodeData& Add(NodeType type, int line) {
        NodeData& n = nodes_->emplace_back(arena_.get());
        n.type = type;
        n.line = line;
        return n;
    }
    std::unique_ptr<std::pmr::monotonic_buffer_resource> arena_ =
        std::make_unique<std::pmr::monotonic_buffer_resource>();
    std::unique_ptr<std::pmr::deque<NodeData>> nodes_ =
        std::make_unique<std::pmr::deque<NodeData>>(arena_.get());
    const NodeData* root_ = nullptr;
};

} // namespace kora::run::yaml
