#include "voip/VxmlDocument.h"

#include <cctype>
#include <cstdlib>

namespace voip {

namespace {

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool IsNameStart(char c)
{
    return std::isalpha(static_cast<unsigned char>(c)) || c == '_' || c == ':' ||
           static_cast<unsigned char>(c) >= 0x80;
}

bool IsNameChar(char c)
{
    return IsNameStart(c) || std::isdigit(static_cast<unsigned char>(c)) || c == '-' || c == '.';
}

void AppendUtf8(std::string& out, unsigned long cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

class Parser
{
public:
    explicit Parser(std::string_view text) : text_(text) {}

    std::unique_ptr<VxmlNode> Parse(std::string& error)
    {
        std::unique_ptr<VxmlNode> root;
        while (ok_ && pos_ < text_.size()) {
            if (StartsWith("<?")) {
                SkipPast("?>");
            } else if (StartsWith("<!--")) {
                SkipPast("-->");
            } else if (StartsWith("<!DOCTYPE")) {
                SkipDoctype();
            } else if (StartsWith("<")) {
                if (root)
                    Fail("a second root element");
                else
                    root = Element();
            } else if (IsSpace(text_[pos_])) {
                Advance(1);
            } else {
                Fail("text outside the root element");
            }
        }
        if (ok_ && !root)
            Fail("no root element");
        if (!ok_) {
            error = error_;
            return nullptr;
        }
        return root;
    }

private:
    bool StartsWith(std::string_view s) const { return text_.substr(pos_, s.size()) == s; }

    void Advance(size_t n)
    {
        for (size_t i = 0; i < n && pos_ < text_.size(); ++i, ++pos_)
            if (text_[pos_] == '\n')
                ++line_;
    }

    void Fail(const std::string& what)
    {
        if (ok_)
            error_ = "line " + std::to_string(line_) + ": " + what;
        ok_ = false;
    }

    void SkipPast(std::string_view end)
    {
        size_t at = text_.find(end, pos_);
        if (at == std::string_view::npos) {
            Fail("unterminated markup");
            pos_ = text_.size();
            return;
        }
        Advance(at + end.size() - pos_);
    }

    void SkipDoctype()
    {
        // An internal subset in brackets may hold '>' characters.
        int depth = 0;
        while (pos_ < text_.size()) {
            char c = text_[pos_];
            Advance(1);
            if (c == '[')
                ++depth;
            else if (c == ']')
                --depth;
            else if (c == '>' && depth <= 0)
                return;
        }
        Fail("unterminated DOCTYPE");
    }

    void SkipSpace()
    {
        while (pos_ < text_.size() && IsSpace(text_[pos_]))
            Advance(1);
    }

    std::string Name()
    {
        if (pos_ >= text_.size() || !IsNameStart(text_[pos_])) {
            Fail("a name was expected");
            return {};
        }
        size_t start = pos_;
        while (pos_ < text_.size() && IsNameChar(text_[pos_]))
            ++pos_;
        return std::string(text_.substr(start, pos_ - start));
    }

    // Resolves entity and character references in raw text.
    std::string Decode(std::string_view raw)
    {
        std::string out;
        out.reserve(raw.size());
        for (size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] != '&') {
                out += raw[i];
                continue;
            }
            size_t semi = raw.find(';', i);
            if (semi == std::string_view::npos || semi - i > 12) {
                Fail("a bare '&'");
                return out;
            }
            std::string_view ref = raw.substr(i + 1, semi - i - 1);
            if (ref == "amp")
                out += '&';
            else if (ref == "lt")
                out += '<';
            else if (ref == "gt")
                out += '>';
            else if (ref == "quot")
                out += '"';
            else if (ref == "apos")
                out += '\'';
            else if (ref.size() > 1 && ref[0] == '#') {
                bool hex = ref[1] == 'x' || ref[1] == 'X';
                std::string digits(ref.substr(hex ? 2 : 1));
                char* end = nullptr;
                unsigned long cp = digits.empty() ? 0 : std::strtoul(digits.c_str(), &end, hex ? 16 : 10);
                if (digits.empty() || *end != '\0' || cp == 0 || cp > 0x10FFFF) {
                    Fail("a bad character reference");
                    return out;
                }
                AppendUtf8(out, cp);
            } else {
                Fail("an unknown entity '&" + std::string(ref) + ";'");
                return out;
            }
            i = semi;
        }
        return out;
    }

    void AddText(VxmlNode& parent, std::string text)
    {
        if (text.empty())
            return;
        if (!parent.children.empty() && parent.children.back()->IsText()) {
            parent.children.back()->text += text;
            return;
        }
        auto node = std::make_unique<VxmlNode>();
        node->text = std::move(text);
        node->line = line_;
        parent.children.push_back(std::move(node));
    }

    // At '<' of a start tag; reads the element and everything up to its end tag.
    std::unique_ptr<VxmlNode> Element()
    {
        // Deep nesting is refused rather than allowed to exhaust the stack.
        if (++depth_ > kMaxDepth) {
            Fail("elements nested too deeply");
            return nullptr;
        }
        struct Leave
        {
            int& d;
            ~Leave() { --d; }
        } leave{depth_};
        auto node = std::make_unique<VxmlNode>();
        node->line = line_;
        Advance(1);
        node->name = Name();
        while (ok_) {
            SkipSpace();
            if (pos_ >= text_.size()) {
                Fail("unterminated start tag <" + node->name + ">");
                return nullptr;
            }
            if (StartsWith("/>")) {
                Advance(2);
                return node;
            }
            if (text_[pos_] == '>') {
                Advance(1);
                break;
            }
            size_t before = pos_;
            std::string key = Name();
            if (!ok_)
                return nullptr;
            if (pos_ == before)
                return nullptr;
            SkipSpace();
            if (pos_ >= text_.size() || text_[pos_] != '=') {
                Fail("attribute " + key + " without a value");
                return nullptr;
            }
            Advance(1);
            SkipSpace();
            if (pos_ >= text_.size() || (text_[pos_] != '"' && text_[pos_] != '\'')) {
                Fail("attribute " + key + " without quotes");
                return nullptr;
            }
            char quote = text_[pos_];
            size_t end = text_.find(quote, pos_ + 1);
            if (end == std::string_view::npos) {
                Fail("unterminated attribute " + key);
                return nullptr;
            }
            std::string_view raw = text_.substr(pos_ + 1, end - pos_ - 1);
            if (raw.find('<') != std::string_view::npos) {
                Fail("'<' in attribute " + key);
                return nullptr;
            }
            if (node->Attribute(key)) {
                Fail("attribute " + key + " given twice");
                return nullptr;
            }
            std::string value = Decode(raw);
            node->attributes.emplace_back(std::move(key), std::move(value));
            Advance(end + 1 - pos_);
        }
        if (!ok_)
            return nullptr;

        // Content up to the matching end tag.
        while (ok_) {
            size_t lt = text_.find('<', pos_);
            if (lt == std::string_view::npos) {
                Fail("element <" + node->name + "> is not closed");
                return nullptr;
            }
            AddText(*node, Decode(text_.substr(pos_, lt - pos_)));
            Advance(lt - pos_);
            if (!ok_)
                return nullptr;
            if (StartsWith("</")) {
                Advance(2);
                std::string closing = Name();
                SkipSpace();
                if (!ok_ || pos_ >= text_.size() || text_[pos_] != '>') {
                    Fail("bad end tag");
                    return nullptr;
                }
                Advance(1);
                if (closing != node->name) {
                    Fail("</" + closing + "> closes <" + node->name + ">");
                    return nullptr;
                }
                return node;
            }
            if (StartsWith("<!--")) {
                SkipPast("-->");
            } else if (StartsWith("<![CDATA[")) {
                Advance(9);
                size_t end = text_.find("]]>", pos_);
                if (end == std::string_view::npos) {
                    Fail("unterminated CDATA");
                    return nullptr;
                }
                AddText(*node, std::string(text_.substr(pos_, end - pos_)));
                Advance(end + 3 - pos_);
            } else if (StartsWith("<?")) {
                SkipPast("?>");
            } else {
                auto child = Element();
                if (!child)
                    return nullptr;
                node->children.push_back(std::move(child));
            }
        }
        return nullptr;
    }

    static constexpr int kMaxDepth = 64;
    std::string_view text_;
    size_t pos_ = 0;
    int depth_ = 0;
    int line_ = 1;
    bool ok_ = true;
    std::string error_;
};

void CollectInto(const VxmlNode& node, std::string& out)
{
    if (node.IsText()) {
        out += node.text;
        out += ' ';
        return;
    }
    for (const auto& child : node.children)
        CollectInto(*child, out);
}

} // namespace

const std::string* VxmlNode::Attribute(std::string_view key) const
{
    for (const auto& [k, v] : attributes)
        if (k == key)
            return &v;
    return nullptr;
}

std::string VxmlNode::CollectText() const
{
    std::string raw;
    CollectInto(*this, raw);
    return FoldWhitespace(raw);
}

std::string FoldWhitespace(std::string_view text)
{
    std::string out;
    bool pendingSpace = false;
    for (char c : text) {
        if (IsSpace(c)) {
            pendingSpace = !out.empty();
            continue;
        }
        if (pendingSpace)
            out += ' ';
        pendingSpace = false;
        out += c;
    }
    return out;
}

std::unique_ptr<VxmlNode> ParseVxml(std::string_view text, std::string& error)
{
    return Parser(text).Parse(error);
}

} // namespace voip
