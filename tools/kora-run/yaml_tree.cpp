#include "yaml_tree.h"

#include <yaml.h>

#include <map>

namespace kora::run::yaml {

namespace {

constexpr const char* kBadConversion = "bad conversion";
constexpr const char* kSyntaxError = "invalid YAML";
constexpr std::string_view kNullWords[] = {"", "~", "null", "Null", "NULL"};

class EventParser {
  public:
    EventParser(const std::string& text, std::pmr::deque<NodeData>& nodes) : nodes_(nodes) {
        yaml_parser_initialize(&parser_);
        yaml_parser_set_input_string(&parser_, reinterpret_cast<const unsigned char*>(text.data()),
                                     text.size());
    }
    ~EventParser() { yaml_parser_delete(&parser_); }
    EventParser(const EventParser&) = delete;
    EventParser& operator=(const EventParser&) = delete;

    // The root of the first document, or null without one.
    const NodeData* Parse() {
        for (;;) {
            Next();
            switch (event_.type) {
            case YAML_STREAM_END_EVENT:
                Done();
                return nullptr;
            case YAML_DOCUMENT_START_EVENT: {
                Done();
                const NodeData* root = ParseNode();
                return root;
            }
            default:
                Done();
                break;
            }
        }
    }

  private:
    void Next() {
        if (!yaml_parser_parse(&parser_, &event_)) {
            const int line = static_cast<int>(parser_.problem_mark.line);
            throw Exception{{line}, parser_.problem ? parser_.problem : kSyntaxError};
        }
        live_ = true;
    }
    void Done() {
        if (live_) {
            yaml_event_delete(&event_);
            live_ = false;
        }
    }

    NodeData& NewNode(NodeType type) {
        NodeData& n = nodes_.emplace_back(nodes_.get_allocator().resource());
        n.type = type;
        n.line = static_cast<int>(event_.start_mark.line);
        return n;
    }

    void Anchor(const unsigned char* anchor, const NodeData* node) {
        if (anchor) {
            anchors_[reinterpret_cast<const char*>(anchor)] = node;
        }
    }

    // Builds the node that starts with the next event; null at the end of a collection.
    const NodeData* ParseNode() {
        Next();
        switch (event_.type) {
        case YAML_SCALAR_EVENT: {
            const auto& s = event_.data.scalar;
            std::string_view text(reinterpret_cast<const char*>(s.value), s.length);
            const bool null = s.style == YAML_PLAIN_SCALAR_STYLE && !s.tag && IsNullWord(text);
            NodeData& n = NewNode(null ? NodeType::Null : NodeType::Scalar);
            if (!null) {
                n.scalar.assign(text);
            }
            Anchor(s.anchor, &n);
            Done();
            return &n;
        }
        case YAML_ALIAS_EVENT: {
            const auto it = anchors_.find(reinterpret_cast<const char*>(event_.data.alias.anchor));
            const int line = static_cast<int>(event_.start_mark.line);
            Done();
            if (it == anchors_.end()) {
                throw Exception{{line}, "the referenced anchor is not defined"};
            }
            return it->second;
        }
        case YAML_SEQUENCE_START_EVENT:
        case YAML_MAPPING_START_EVENT: {
            const bool map = event_.type == YAML_MAPPING_START_EVENT;
            NodeData& n = NewNode(map ? NodeType::Map : NodeType::Sequence);
            Anchor(map ? event_.data.mapping_start.anchor : event_.data.sequence_start.anchor, &n);
            Done();
            while (const NodeData* item = ParseNode()) {
                n.items.push_back(item);
            }
            return &n;
        }
        default: // the end of a sequence or mapping
            Done();
            return nullptr;
        }
    }

    yaml_parser_t parser_{};
    yaml_event_t event_{};
    bool live_ = false;
    std::pmr::deque<NodeData>& nodes_;
    std::map<std::string, const NodeData*> anchors_;
};

} // namespace

bool IsNullWord(std::string_view text) {
    for (std::string_view w : kNullWords) {
        if (text == w) {
            return true;
        }
    }
    return false;
}

std::string Node::Scalar() const {
    return IsScalar() ? std::string(d_->scalar) : std::string();
}

std::size_t Node::size() const {
    if (!d_) {
        return 0;
    }
    return d_->type == NodeType::Map ? d_->items.size() / 2 : d_->items.size();
}

Node Node::operator[](std::string_view key) const {
    if (!IsMap()) {
        return Node();
    }
    for (std::size_t i = 0; i + 1 < d_->items.size(); i += 2) {
        const NodeData* k = d_->items[i];
        if (k->type == NodeType::Scalar && k->scalar == key) {
            return Node(d_->items[i + 1]);
        }
    }
    return Node();
}

template <> std::string Node::as<std::string>() const {
    if (IsNull()) {
        return "null";
    }
    if (!IsScalar()) {
        throw Exception{Mark(), kBadConversion};
    }
    return std::string(d_->scalar);
}

Node::iterator Node::begin() const {
    return iterator(d_ && (IsMap() || IsSequence()) ? d_ : nullptr, 0);
}

Node::iterator Node::end() const {
    const bool collection = IsMap() || IsSequence();
    return iterator(collection ? d_ : nullptr, collection ? d_->items.size() : 0);
}

Item Node::iterator::operator*() const {
    Item item;
    if (node_->type == NodeType::Map) {
        item.first = Node(node_->items[at_]);
        item.second = Node(node_->items[at_ + 1]);
    } else {
        static_cast<Node&>(item) = Node(node_->items[at_]);
    }
    return item;
}

Document Load(const std::string& text) {
    if (auto doc = LoadSimple(text)) {
        return std::move(*doc);
    }
    return LoadWithLibyaml(text);
}

Document LoadWithLibyaml(const std::string& text) {
    Document doc;
    EventParser parser(text, *doc.nodes_);
    doc.root_ = parser.Parse();
    if (!doc.root_) {
        doc.root_ =
            &doc.nodes_->emplace_back(doc.arena_.get()); // no document: a null, as an empty file
    }
    return doc;
}

} // namespace kora::run::yaml
