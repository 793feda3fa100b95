// Texts out of the headers Sofia-SIP parsed.
#pragma once

#include <sofia-sip/su_alloc.h>
#include <sofia-sip/url.h>

#include <string>

namespace voip {

// The URL as written; "" for none.
inline std::string UrlText(const url_t* url)
{
    if (!url)
        return {};
    su_home_t home[1] = {SU_HOME_INIT(home)};
    char* text = url_as_string(home, url);
    std::string result = text ? text : "";
    su_home_deinit(home);
    return result;
}

// A display name or a parameter's value without the quotes around it.
inline std::string Unquote(const char* text)
{
    std::string s = text ? text : "";
    if (s.size() >= 2 && s.front() == '"' && s.back() == '"')
        s = s.substr(1, s.size() - 2);
    return s;
}

} // namespace voip
