#include "dumplog.h"

#include <cctype>
#include <ctime>

namespace kxmsg {

namespace {

constexpr size_t kSlots = DumpLine::kSlots;
constexpr size_t kHexColumns = 35; // four groups of eight, a blank between
constexpr size_t kLabelColumns = 12;

bool isHexDigit(char c)
{
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

int hexValue(char c)
{
    return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
}

bool isDigits(std::string_view text, size_t at, size_t count)
{
    if (at + count > text.size())
        return false;
    for (size_t i = at; i < at + count; ++i)
        if (!std::isdigit(static_cast<unsigned char>(text[i])))
            return false;
    return true;
}

int number(std::string_view text, size_t at, size_t count)
{
    int n = 0;
    for (size_t i = at; i < at + count; ++i)
        n = n * 10 + (text[i] - '0');
    return n;
}

// The character column repeats the bytes: printable ones as they are,
// others as '.'. Where it is there (a syslog may drop trailing blanks),
// it must agree.
bool columnAgrees(std::string_view column, std::span<const uint8_t> bytes)
{
    for (size_t i = 0; i < column.size() && i < bytes.size(); ++i) {
        char shown = isPrintableByte(bytes[i]) ? static_cast<char>(bytes[i]) : '.';
        if (column[i] != shown)
            return false;
    }
    return true;
}

// The columns after the address: bytes from the first slot on, blank slots
// after the last byte, two blanks, the characters.
bool slotBytes(std::string_view area, DumpLine &d)
{
    auto at = [&](size_t i) { return i < area.size() ? area[i] : ' '; };
    size_t n = 0;
    for (; n < kSlots; ++n) {
        size_t col = n * 2 + n / 4;
        if (n % 4 == 0 && n > 0 && at(col - 1) != ' ')
            return false;
        char hi = at(col), lo = at(col + 1);
        if (hi == ' ' && lo == ' ' && n > 0)
            break;
        if (!isHexDigit(hi) || !isHexDigit(lo))
            return false;
        d.byte[n] = static_cast<uint8_t>(hexValue(hi) << 4 | hexValue(lo));
    }
    for (size_t col = n * 2 + (n - 1) / 4; col < kHexColumns + 2; ++col)
        if (at(col) != ' ')
            return false;
    d.count = n;
    return columnAgrees(area.size() > kHexColumns + 2 ? area.substr(kHexColumns + 2) : "",
                        d.bytes());
}

// Where the 8-digit address of a dump line stands, followed by two blanks.
bool addressAt(std::string_view line, size_t i)
{
    if (i + 10 > line.size() || (i > 0 && line[i - 1] != ' '))
        return false;
    for (size_t k = i; k < i + 8; ++k)
        if (!isHexDigit(line[k]))
            return false;
    return line[i + 8] == ' ' && line[i + 9] == ' ';
}

std::string_view trimRight(std::string_view text)
{
    size_t end = text.find_last_not_of(" \t");
    return end == std::string_view::npos ? std::string_view() : text.substr(0, end + 1);
}

// The label is the last word before the address, within the label's
// twelve columns; what stands before it is the prefix.
void splitLabel(std::string_view before, DumpLine &d)
{
    std::string_view text = trimRight(before);
    size_t start = text.find_last_of(' ');
    start = start == std::string_view::npos ? 0 : start + 1;
    if (text.empty() || before.size() - start > kLabelColumns) {
        d.prefix = text;
        return;
    }
    d.label = text.substr(start);
    d.prefix = trimRight(text.substr(0, start));
}

} // namespace

std::optional<DumpLine> parseDumpLine(std::string_view line)
{
    line = line.substr(0, line.find_last_not_of("\r\n") + 1);
    for (size_t i = line.find("  "); i != std::string_view::npos; i = line.find("  ", i + 1)) {
        size_t a = i - 8;
        if (i < 8 || !addressAt(line, a))
            continue;
        size_t address = 0;
        for (size_t k = a; k < a + 8; ++k)
            address = address << 4 | static_cast<size_t>(hexValue(line[k]));
        DumpLine d;
        // A message's length is a 16-bit number: a dump never reaches further.
        if (address % kSlots != 0 || !slotBytes(line.substr(a + 10), d) ||
            address + d.count > kLongestMessage)
            continue;
        d.address = address;
        splitLabel(line.substr(0, a), d);
        return d;
    }
    return std::nullopt;
}

namespace {

constexpr std::string_view kMonths = "JanFebMarAprMayJunJulAugSepOctNovDec";

// "HH:MM:SS" at i.
bool clockAt(std::string_view text, size_t i)
{
    return isDigits(text, i, 2) && text.size() > i + 7 && text[i + 2] == ':' &&
           isDigits(text, i + 3, 2) && text[i + 5] == ':' && isDigits(text, i + 6, 2);
}

struct StampParts {
    size_t from = 0, to = 0;
    struct tm local {};
    bool year = false;
};

// Month and day before the clock: "Dec05 ", "Dec  5 ", "Dec 05 ".
bool monthDayBefore(std::string_view text, size_t clock, StampParts &p)
{
    size_t end = clock;
    while (end > 0 && text[end - 1] == ' ')
        --end;
    size_t day = end;
    while (day > 0 && end - day < 2 && std::isdigit(static_cast<unsigned char>(text[day - 1])))
        --day;
    size_t month = day;
    while (month > 0 && text[month - 1] == ' ' && day - month < 2)
        --month;
    if (day == end || month < 3)
        return false;
    size_t index = kMonths.find(text.substr(month - 3, 3));
    if (index == std::string_view::npos || index % 3 != 0)
        return false;
    p.from = month - 3;
    p.local.tm_mon = static_cast<int>(index / 3);
    p.local.tm_mday = number(text, day, end - day);
    return true;
}

// "2026-12-05T" before the clock.
bool isoDateBefore(std::string_view text, size_t clock, StampParts &p)
{
    if (clock < 11 || text[clock - 1] != 'T' || !isDigits(text, clock - 11, 4) ||
        text[clock - 7] != '-' || text[clock - 4] != '-')
        return false;
    p.from = clock - 11;
    p.local.tm_year = number(text, clock - 11, 4) - 1900;
    p.local.tm_mon = number(text, clock - 6, 2) - 1;
    p.local.tm_mday = number(text, clock - 3, 2);
    p.year = true;
    return true;
}

// A stamp that the clock cannot hold (the year 0 of a damaged log) has no
// time.
std::optional<WallClock::time_point> clockTime(struct tm local)
{
    local.tm_isdst = -1;
    time_t t = mktime(&local);
    if (!onClock(static_cast<double>(t)))
        return std::nullopt;
    return WallClock::from_time_t(t);
}

std::optional<WallClock::time_point> timeOf(StampParts p)
{
    auto now = WallClock::now();
    if (!p.year) {
        time_t t = WallClock::to_time_t(now);
        struct tm today {};
        localtime_r(&t, &today);
        p.local.tm_year = today.tm_year;
    }
    auto when = clockTime(p.local);
    if (!p.year && when && *when > now + std::chrono::hours(24)) {
        --p.local.tm_year;
        when = clockTime(p.local);
    }
    return when;
}

} // namespace

std::pair<std::string, std::optional<WallClock::time_point>>
parseStamp(std::string_view prefix)
{
    for (size_t i = prefix.find(':'); i != std::string_view::npos; i = prefix.find(':', i + 1)) {
        size_t clock = i < 2 ? 0 : i - 2;
        StampParts p;
        if (i < 2 || !clockAt(prefix, clock) ||
            !(isoDateBefore(prefix, clock, p) || monthDayBefore(prefix, clock, p)))
            continue;
        p.local.tm_hour = number(prefix, clock, 2);
        p.local.tm_min = number(prefix, clock + 3, 2);
        p.local.tm_sec = number(prefix, clock + 6, 2);
        p.to = clock + 8;
        // logread: "Sat Dec  5 21:29:37 2026"
        if (!p.year && isDigits(prefix, p.to + 1, 4) && prefix[p.to] == ' ' &&
            (prefix.size() == p.to + 5 || prefix[p.to + 5] == ' ')) {
            p.local.tm_year = number(prefix, p.to + 1, 4) - 1900;
            p.year = true;
            p.to += 5;
        }
        return {std::string(prefix.substr(p.from, p.to - p.from)), timeOf(p)};
    }
    return {{}, std::nullopt};
}

namespace {

size_t declaredTotal(const Traced &t)
{
    if (t.shown.empty() || t.shown[0].first != 0 || t.raw.size() < 2)
        return 0;
    return be16(t.raw.data());
}

// The line's bytes at its address: after a gap (lines the dump left out)
// a new shown range begins.
void append(Traced &t, const DumpLine &d)
{
    if (t.shown.empty() || d.address != t.raw.size()) {
        t.raw.resize(d.address, 0);
        t.shown.emplace_back(d.address, d.address);
    }
    t.raw.insert(t.raw.end(), d.byte.begin(), d.byte.begin() + static_cast<long>(d.count));
    t.shown.back().second = t.raw.size();
}

} // namespace

bool LogReader::feed(std::string_view line, std::vector<Traced> &done)
{
    auto d = parseDumpLine(line);
    if (d)
        feed(*d, done);
    return d.has_value();
}

void LogReader::feed(const DumpLine &d, std::vector<Traced> &done)
{
    bool continues = pending && d.address != 0 && pending->tag == d.label && d.address >= next;
    if (!continues) {
        flush(done);
        pending.emplace();
        auto [stamp, when] = parseStamp(d.prefix);
        pending->stamp = std::move(stamp);
        pending->when = when;
        pending->tag = std::string(d.label);
    }
    append(*pending, d);
    next = d.address + kSlots;
    // A dump ends with a short line, or where the header's total ends it.
    if (d.count < kSlots || pending->raw.size() == declaredTotal(*pending))
        flush(done);
}

void LogReader::flush(std::vector<Traced> &done)
{
    if (pending)
        done.push_back(std::move(*pending));
    pending.reset();
    next = 0;
}

} // namespace kxmsg
