// The element tree of a VoiceXML text, read by Qt's XML stream reader.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace voip {

struct VxmlNode
{
    std::string name; // empty for a text node
    std::vector<std::pair<std::string, std::string>> attributes;
    std::vector<std::unique_ptr<VxmlNode>> children;
    std::string text; // text nodes only, entities resolved
    int line = 0;

    bool IsText() const { return name.empty(); }
    // Attribute value, or nullptr when absent.
    const std::string* Attribute(std::string_view key) const;
    // All text below this node, whitespace runs folded to one space and trimmed.
    std::string CollectText() const;
};

// Parses a whole document. Comments, the XML declaration, processing instructions and a DOCTYPE are
// skipped; CDATA becomes text. Returns nullptr and sets error ("line N: ...") on any fault: unbalanced
// or mismatched tags, bad attributes, unknown entities, text or elements outside the root.
std::unique_ptr<VxmlNode> ParseVxml(std::string_view text, std::string& error);

// Folds whitespace runs to one space and trims both ends.
std::string FoldWhitespace(std::string_view text);

} // namespace voip
