#include "voip/core/Address.h"

#include <cctype>

namespace voip {

std::string UserPartOf(const std::string& address)
{
    std::string text = address;
    size_t open = text.find('<');
    if (open != std::string::npos) {
        size_t close = text.find('>', open);
        text = text.substr(open + 1, close == std::string::npos ? std::string::npos : close - open - 1);
    }
    // A scheme is letters, digits, "+", "-", "." after a letter, then ":".
    size_t colon = text.find(':');
    if (colon != std::string::npos && colon > 0 && std::isalpha(static_cast<unsigned char>(text[0]))) {
        bool scheme = true;
        for (size_t i = 1; i < colon; ++i) {
            char c = text[i];
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.')
                scheme = false;
        }
        if (scheme)
            text = text.substr(colon + 1);
    }
    return text.substr(0, text.find_first_of("@;>?"));
}

} // namespace voip
