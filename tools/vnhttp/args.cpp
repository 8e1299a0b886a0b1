// Command-line parsing for vnhttp (see args.h). Main thread only.
#include "args.h"

#include <arpa/inet.h>
#include <string.h>

#include <algorithm>

#include "confine.h"
#include "upload_name.h"

namespace vnhttp {

const std::string* ParsedArgs::Last(const std::string& name) const {
    auto it = m_values.find(name);
    return it == m_values.end() || it->second.empty() ? nullptr : &it->second.back();
}

const std::vector<std::string>& ParsedArgs::All(const std::string& name) const {
    static const std::vector<std::string> kNone;
    auto it = m_values.find(name);
    return it == m_values.end() ? kNone : it->second;
}

bool ParseArgs(int argc, char** argv, int first, const std::vector<OptionSpec>& specs,
               ParsedArgs* out, std::string* error) {
    bool optionsEnded = false;
    for (int i = first; i < argc; ++i) {
        std::string word = argv[i];
        if (optionsEnded || word.size() < 2 || word[0] != '-') {
            out->positional.push_back(word);
            continue;
        }
        if (word == "--") {
            optionsEnded = true;
            continue;
        }
        const OptionSpec* spec = nullptr;
        std::string value;
        bool haveValue = false;
        if (word[1] == '-') {
            std::string name = word.substr(2);
            size_t eq = name.find('=');
            if (eq != std::string::npos) {
                value = name.substr(eq + 1);
                name.resize(eq);
                haveValue = true;
            }
            for (const OptionSpec& s : specs) {
                if (name == s.longName) spec = &s;
            }
        } else {
            for (const OptionSpec& s : specs) {
                if (s.shortName != 0 && word[1] == s.shortName) spec = &s;
            }
            if (spec != nullptr && word.size() > 2) {
                if (!spec->takesValue)
                    spec = nullptr;  // no bundling of flags
                else {
                    value = word.substr(2);  // "-ofile"
                    haveValue = true;
                }
            }
        }
        if (spec == nullptr) {
            *error = "unknown option " + word;
            return false;
        }
        if (spec->takesValue && !haveValue) {
            if (i + 1 >= argc) {
                *error = "option " + word + " needs a value";
                return false;
            }
            value = argv[++i];
        } else if (!spec->takesValue && haveValue) {
            *error = "option " + word + " takes no value";
            return false;
        }
        out->m_values[spec->longName].push_back(value);
    }
    return true;
}

bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t* value) {
    if (text.empty() || text.size() > 20) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        uint64_t digit = static_cast<uint64_t>(c - '0');
        if (digit > max || v > (max - digit) / 10) return false;  // max - digit must not wrap
        v = v * 10 + digit;
    }
    *value = v;
    return true;
}

bool ParseRate(const std::string& text, uint32_t* bytesPerSecond) {
    std::string digits = text;
    uint64_t unit = 1;
    if (!digits.empty()) {
        switch (digits.back()) {
            case 'k':
            case 'K':
                unit = 1024;
                break;
            case 'm':
            case 'M':
                unit = 1024 * 1024;
                break;
            case 'g':
            case 'G':
                unit = 1024 * 1024 * 1024;
                break;
            default:
                break;
        }
        if (unit != 1) digits.pop_back();
    }
    uint64_t count = 0;
    if (!ParseUnsigned(digits, UINT32_MAX / unit, &count) || count == 0) return false;
    *bytesPerSecond = static_cast<uint32_t>(count * unit);
    return true;
}

bool IsMethodToken(const std::string& method) {
    static const char kSymbols[] = "!#$%&'*+-.^_`|~";
    if (method.empty()) return false;
    for (char c : method) {
        bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!alnum && (c == '\0' || strchr(kSymbols, c) == nullptr)) return false;
    }
    return true;
}

bool LooksLikeCookieFile(const std::string& text, size_t* badLine) {
    static const char kHttpOnly[] = "#HttpOnly_";
    size_t number = 0;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        bool cookie = line.compare(0, sizeof(kHttpOnly) - 1, kHttpOnly) == 0;
        bool fine = line.find('\0') == std::string::npos;
        if (fine && (cookie || (!line.empty() && line[0] != '#'))) {
            // A cookie line, or text that is none: blank is the only other choice.
            size_t tabs = static_cast<size_t>(std::count(line.begin(), line.end(), '\t'));
            fine = tabs == 5 || tabs == 6 ||
                   (!cookie && line.find_first_not_of(" \t") == std::string::npos);
        }
        if (!fine) {
            *badLine = number;
            return false;
        }
    }
    return true;
}

bool SplitUrl(const std::string& url, UrlParts* parts, std::string* error) {
    size_t sep = url.find("://");
    if (sep == std::string::npos || sep == 0) {
        *error = "not a URL (scheme://host...): " + url;
        return false;
    }
    parts->scheme = url.substr(0, sep);
    for (char& c : parts->scheme) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    size_t hostStart = sep + 3;
    size_t pathStart = url.find_first_of("/?#", hostStart);
    std::string authority = url.substr(
        hostStart, pathStart == std::string::npos ? std::string::npos : pathStart - hostStart);
    parts->path = pathStart == std::string::npos ? "/" : url.substr(pathStart);
    if (parts->path[0] != '/') parts->path.insert(0, "/");
    size_t at = authority.rfind('@');
    if (at != std::string::npos) {
        std::string userinfo = authority.substr(0, at);
        authority.erase(0, at + 1);
        size_t colon = userinfo.find(':');
        std::string user = userinfo.substr(0, colon);
        std::string password = colon == std::string::npos ? "" : userinfo.substr(colon + 1);
        if (!PercentDecode(user, &parts->user) || !PercentDecode(password, &parts->password)) {
            *error = "bad percent-encoding in the user part of " + url;
            return false;
        }
    }
    // An IPv6 address is bracketed (RFC 3986 3.2.2): its colons are not the port's.
    std::string host = authority, portText;
    bool hasPort = false;
    parts->ipv6 = !authority.empty() && authority[0] == '[';
    if (parts->ipv6) {
        size_t close = authority.find(']');
        host = authority.substr(1, close == std::string::npos ? std::string::npos : close - 1);
        struct in6_addr a;
        if (close == std::string::npos || inet_pton(AF_INET6, host.c_str(), &a) != 1 ||
            (close + 1 < authority.size() && authority[close + 1] != ':')) {
            *error = "not an IPv6 address in [brackets]: " + url;
            return false;
        }
        hasPort = close + 1 < authority.size();
        if (hasPort) portText = authority.substr(close + 2);
    } else {
        size_t colon = authority.find(':');
        hasPort = colon != std::string::npos;
        if (hasPort) {
            portText = authority.substr(colon + 1);
            host.resize(colon);
        }
        if (portText.find(':') != std::string::npos) {
            *error = "an IPv6 address goes in [brackets]: " + url;
            return false;
        }
    }
    if (hasPort) {
        uint64_t port = 0;
        if (!ParseUnsigned(portText, 65535, &port) || port == 0) {
            *error = "bad port in " + url;
            return false;
        }
        parts->port = static_cast<unsigned short>(port);
    }
    if (host.empty()) {
        *error = "no host in " + url;
        return false;
    }
    parts->host = host;
    return true;
}

std::string LocalNameForUrl(const std::string& url) {
    UrlParts parts;
    std::string error;
    std::string path = SplitUrl(url, &parts, &error) ? parts.path : "/";
    path = path.substr(0, path.find_first_of("?#"));
    std::string last = path.substr(path.rfind('/') + 1);
    std::string decoded;
    if (last.empty() || !PercentDecode(last, &decoded)) return "index.html";
    return SanitizeUploadName(decoded);
}

bool OutputPathsForUrls(const std::vector<std::string>& urls, const std::string& dir,
                        std::vector<std::string>* paths, std::string* error) {
    std::map<std::string, const std::string*> taken;  // name -> the URL that has it
    std::string prefix = dir.empty() || dir.back() == '/' ? dir : dir + "/";
    paths->clear();
    for (const std::string& url : urls) {
        std::string name = LocalNameForUrl(url);
        auto placed = taken.emplace(name, &url);
        if (!placed.second) {
            *error = "two URLs would be written to the same file ";
            *error += prefix;
            *error += name;
            *error += ": ";
            *error += *placed.first->second;
            *error += " and ";
            *error += url;
            return false;
        }
        paths->push_back(prefix + name);
    }
    return true;
}

}  // namespace vnhttp
