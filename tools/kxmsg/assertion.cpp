#include "assertion.h"

#include "dumplog.h"

#include <algorithm>
#include <cctype>
#include <vector>

namespace kxmsg {

namespace {

constexpr std::string_view kReport = "ASSERT:";

// Length of the colour code at text[at], 0 when there is none.
size_t colourCodeAt(std::string_view text, size_t at)
{
    if (at + 2 >= text.size() || text[at] != '\033' || text[at + 1] != '[')
        return 0;
    size_t i = at + 2;
    while (i < text.size() && (std::isdigit(static_cast<unsigned char>(text[i])) || text[i] == ';'))
        ++i;
    return i < text.size() && text[i] == 'm' ? i + 1 - at : 0;
}

// The text without colour codes, and where in it a code ended.
std::string stripColour(std::string_view text, std::vector<size_t> *codeEnds)
{
    std::string plain;
    plain.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        if (size_t n = colourCodeAt(text, i); n > 0) {
            if (codeEnds != nullptr)
                codeEnds->push_back(plain.size());
            i += n;
            continue;
        }
        plain += text[i++];
    }
    return plain;
}

std::string_view trimmed(std::string_view text)
{
    size_t from = text.find_first_not_of(' ');
    if (from == std::string_view::npos)
        return {};
    return text.substr(from, text.find_last_not_of(' ') + 1 - from);
}

std::vector<std::string_view> words(std::string_view text)
{
    std::vector<std::string_view> out;
    for (size_t i = 0; i < text.size();) {
        size_t end = std::min(text.find(' ', i), text.size());
        if (end > i)
            out.push_back(text.substr(i, end - i));
        i = end + 1;
    }
    return out;
}

// "kxRedIro" or "kxRedIro[123]": a program's name in a syslog line.
bool isTag(std::string_view word)
{
    if (size_t open = word.find('['); open != std::string_view::npos) {
        std::string_view pid = word.substr(open + 1);
        if (pid.size() < 2 || pid.back() != ']' ||
            !std::all_of(pid.begin(), pid.end() - 1,
                         [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }))
            return false;
        word = word.substr(0, open);
    }
    return !word.empty() && std::all_of(word.begin(), word.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.' ||
               c == '/';
    });
}

// What stands before the report is a log line's prefix: nothing, a stamp
// (a weekday may lead it), or a stamp, at most a host or facility word and
// the program's tag with its colon.
bool isPrefix(std::string_view before, const std::string &stamp)
{
    if (trimmed(before).empty())
        return true;
    size_t at = stamp.empty() ? std::string_view::npos : before.find(stamp);
    if (at == std::string_view::npos)
        return false;
    std::string_view lead = trimmed(before.substr(0, at));
    if (!lead.empty() && (lead.size() != 3 || !std::all_of(lead.begin(), lead.end(), [](char c) {
                              return std::isalpha(static_cast<unsigned char>(c));
                          })))
        return false;
    std::string_view rest = before.substr(at + stamp.size());
    if (rest.empty() || rest.front() != ' ')
        return false;
    rest = trimmed(rest);
    if (rest.empty())
        return before.back() == ' ';
    if (before.size() < 2 || before.substr(before.size() - 2) != ": ")
        return false;
    auto w = words(rest.substr(0, rest.size() - 1));
    return !w.empty() && w.size() <= 2 && isTag(w.back()) &&
           w.front().find(':') == std::string_view::npos;
}

} // namespace

std::string withoutColour(std::string_view text)
{
    return stripColour(text, nullptr);
}

std::optional<Assertion> parseAssertion(std::string_view line)
{
    if (line.find(kReport) == std::string_view::npos)
        return std::nullopt; // the common case, at a log's pace
    std::vector<size_t> codeEnds;
    std::string plain = stripColour(line, &codeEnds);
    plain.erase(plain.find_last_not_of(" \t\r\n") + 1);
    for (size_t at = plain.find(kReport); at != std::string::npos;
         at = plain.find(kReport, at + 1)) {
        std::string_view before = std::string_view(plain).substr(0, at);
        auto [stamp, when] = parseStamp(before);
        bool afterCode = std::find(codeEnds.begin(), codeEnds.end(), at) != codeEnds.end();
        if (!afterCode && !isPrefix(before, stamp))
            continue;
        return Assertion{plain, plain.substr(at), std::move(stamp), when};
    }
    return std::nullopt;
}

std::optional<Assertion> lastAssertion(std::string_view text)
{
    std::optional<Assertion> last;
    for (size_t from = 0; from < text.size();) {
        size_t end = std::min(text.find('\n', from), text.size());
        if (auto a = parseAssertion(text.substr(from, end - from)))
            last = std::move(a);
        from = end + 1;
    }
    return last;
}

} // namespace kxmsg
