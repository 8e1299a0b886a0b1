// Command-line parsing for vnhttp: long and short options (with or without a value,
// "--name=value" or "--name value", "-o value"), repeatable options, positional words,
// and the small parsers the commands share (numbers, rates, methods, URLs, the shape of a
// cookie file given on the command line). Used on the main thread only.
#pragma once

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

namespace vnhttp {

// Exit statuses that are not a client result code.
enum {
    kExitTimeout = 6,        // connection or data time-out (a refinement of result 5)
    kExitUsage = 64,         // bad command line
    kExitSoftware = 70,      // the library could not be set up
    kExitInterrupted = 130,  // Ctrl-C (128 + SIGINT)
};

struct OptionSpec {
    const char* longName;  // without the leading "--"
    char shortName;        // 0 when none
    bool takesValue;
};

class ParsedArgs {
public:
    bool Has(const std::string& name) const { return m_values.count(name) != 0; }
    // The last value given for name, or null.
    const std::string* Last(const std::string& name) const;
    // Every value given for name, in order (empty when none).
    const std::vector<std::string>& All(const std::string& name) const;

    std::vector<std::string> positional;

private:
    friend bool ParseArgs(int, char**, int, const std::vector<OptionSpec>&, ParsedArgs*,
                          std::string*);
    std::map<std::string, std::vector<std::string>> m_values;
};

// Parses argv[first..argc) against specs. "--" ends the options. False with *error set for
// an unknown option or a missing value.
bool ParseArgs(int argc, char** argv, int first, const std::vector<OptionSpec>& specs,
               ParsedArgs* out, std::string* error);

// Decimal number in [0, max]; false for anything else.
bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t* value);

// A transfer rate as curl's --limit-rate takes it: decimal digits with an optional K, M or G
// (case-insensitive, 1024 multiples), in bytes per second. False for anything else, for 0 and
// for a rate past what the client can be given (4 GiB/s less one byte).
bool ParseRate(const std::string& text, uint32_t* bytesPerSecond);

// True when method is an HTTP method token (RFC 9110 5.6.2: letters, digits and
// !#$%&'*+-.^_`|~, at least one of them); nothing else may go into a request line.
bool IsMethodToken(const std::string& method);

// Whether text reads as a cookie file in the Netscape format curl writes and reads: every
// line blank, a comment ('#'; curl's "#HttpOnly_" prefix marks a cookie line, not a
// comment) or a cookie of six or seven TAB-separated fields, and no NUL byte anywhere.
// False with *badLine set to the number (from 1) of the first line that is none of these.
bool LooksLikeCookieFile(const std::string& text, size_t* badLine);

// "scheme://[user[:password]@]host[:port][/path]" split into its pieces. The user and the
// password are percent-decoded; port is 0 when none is given. An IPv6 host is written in
// brackets ("http://[::1]:8080/"); one without them is refused.
struct UrlParts {
    std::string scheme;  // lower case
    std::string user;
    std::string password;
    std::string host;   // an IPv6 address without its brackets
    bool ipv6 = false;  // the host was bracketed
    unsigned short port = 0;
    std::string path;  // from the first '/', "/" when none
};
bool SplitUrl(const std::string& url, UrlParts* parts, std::string* error);

// The last path segment of an http URL (query dropped, percent-decoded), reduced to a safe
// local file name; "index.html" when the URL names a directory.
std::string LocalNameForUrl(const std::string& url);

// Transfers at once for get -Z: curl's default, and curl's ceiling. Each transfer has a
// client with a thread and a few descriptors of its own, so the ceiling stays in the
// hundreds.
const unsigned kParallelDefault = 50;
const unsigned kParallelLimit = 300;

// The file each URL of a download named after its URLs (-O) is written to: dir/name, or
// name alone when dir is empty (the current directory). Two URLs that lead to the same name
// would write one file from two transfers, so they are refused: false with *error naming
// both (the whole run is refused, nothing is fetched).
bool OutputPathsForUrls(const std::vector<std::string>& urls, const std::string& dir,
                        std::vector<std::string>* paths, std::string* error);

}  // namespace vnhttp
