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

bool SplitHostPort(const std::string& text, std::string& host, int& port, int defaultPort)
{
    std::string name;
    size_t end = 0; // where the host ends
    if (!text.empty() && text.front() == '[') {
        end = text.find(']');
        if (end == std::string::npos)
            return false;
        name = text.substr(1, end - 1);
        ++end;
    } else {
        end = text.find(':');
        // Unbracketed, an IPv6 address could not be told from its port.
        if (end != std::string::npos && text.find(':', end + 1) != std::string::npos)
            return false;
        name = text.substr(0, end);
    }
    int number = defaultPort;
    if (end < text.size()) {
        if (text[end] != ':' || end + 1 == text.size())
            return false;
        number = 0;
        for (size_t i = end + 1; i < text.size(); ++i) {
            if (!std::isdigit(static_cast<unsigned char>(text[i])))
                return false;
            number = number * 10 + (text[i] - '0');
            if (number > 65535)
                return false;
        }
    }
    host = name;
    port = number;
    return true;
}

} // namespace voip
