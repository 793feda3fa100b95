#include "voip/vxml/VxmlDocument.h"

#include <QByteArray>
#include <QXmlStreamReader>

#include <algorithm>

namespace voip {

namespace {

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Deep nesting is refused: the interpreter walks the tree.
constexpr int kMaxDepth = 64;

std::string Utf8(const QStringView text)
{
    return text.toUtf8().toStdString();
}

// Qt says only that the tags differ; our message names both.
std::string MismatchText(std::string_view text, const QXmlStreamReader& reader, const std::string& open)
{
    // The end tag is the last "</" on the reader's line before its column.
    size_t start = 0;
    for (qint64 line = 1; line < reader.lineNumber() && start != std::string_view::npos; ++line) {
        start = text.find('\n', start);
        if (start != std::string_view::npos)
            ++start;
    }
    if (start == std::string_view::npos)
        return {};
    std::string_view line = text.substr(start, text.find('\n', start) - start);
    size_t at = line.rfind("</", static_cast<size_t>(std::max<qint64>(reader.columnNumber(), 1)) - 1);
    if (at == std::string_view::npos)
        return {};
    size_t end = line.find_first_of(" \t\r>", at + 2);
    std::string closing(line.substr(at + 2, end == std::string_view::npos ? std::string_view::npos : end - at - 2));
    return "</" + closing + "> closes <" + open + ">";
}

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
    // Qt's reader takes the encoding from the XML declaration (UTF-8 without one); the tree holds UTF-8.
    QXmlStreamReader reader(QByteArray(text.data(), static_cast<qsizetype>(text.size())));
    std::unique_ptr<VxmlNode> root;
    std::vector<VxmlNode*> open;
    auto fail = [&](const std::string& what) {
        error = "line " + std::to_string(reader.lineNumber()) + ": " + what;
        return nullptr;
    };
    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::StartElement: {
            if (static_cast<int>(open.size()) >= kMaxDepth)
                return fail("elements nested too deeply");
            auto node = std::make_unique<VxmlNode>();
            node->name = Utf8(reader.qualifiedName());
            node->line = static_cast<int>(reader.lineNumber());
            for (const QXmlStreamAttribute& a : reader.attributes())
                node->attributes.emplace_back(Utf8(a.qualifiedName()), Utf8(a.value()));
            VxmlNode* raw = node.get();
            if (open.empty())
                root = std::move(node);
            else
                open.back()->children.push_back(std::move(node));
            open.push_back(raw);
            break;
        }
        case QXmlStreamReader::EndElement:
            open.pop_back();
            break;
        case QXmlStreamReader::Characters:
            if (!open.empty()) {
                VxmlNode& parent = *open.back();
                std::string chunk = Utf8(reader.text());
                if (!parent.children.empty() && parent.children.back()->IsText()) {
                    parent.children.back()->text += chunk;
                } else {
                    auto node = std::make_unique<VxmlNode>();
                    node->text = std::move(chunk);
                    node->line = static_cast<int>(reader.lineNumber());
                    parent.children.push_back(std::move(node));
                }
            }
            break;
        case QXmlStreamReader::EntityReference:
            return fail("an unknown entity '&" + Utf8(reader.name()) + ";'");
        default: // the declaration, comments, processing instructions, DOCTYPE
            break;
        }
    }
    if (reader.hasError()) {
        std::string what;
        if (reader.error() == QXmlStreamReader::NotWellFormedError && !open.empty())
            what = MismatchText(text, reader, open.back()->name);
        if (what.empty() || reader.errorString() != QStringLiteral("Opening and ending tag mismatch."))
            what = Utf8(reader.errorString());
        return fail(what);
    }
    if (!root)
        return fail("no root element");
    return root;
}

} // namespace voip
