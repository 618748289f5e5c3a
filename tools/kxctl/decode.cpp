// decode: TLV messages from logs, bug reports and captures, read from a file
// or standard input and shown each as soon as it is complete (so that
// `tail -f LOG | kxctl decode` shows them live). What it reads, and how,
// is kxmsg's (reader.h).
#include "failure.h"
#include "output.h"
#include "verbs.h"

#include "reader.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace kxctl {

namespace {

// The file, or standard input for "" and "-"; closed at the end of the verb.
struct Input {
    FILE *file = stdin;
    explicit Input(const std::string &name)
    {
        if (!name.empty() && name != "-" && (file = fopen(name.c_str(), "rb")) == nullptr)
            throw Failure(kExitFailure, name + ": " + strerror(errno));
    }
    Input(const Input &) = delete;
    Input &operator=(const Input &) = delete;
    ~Input()
    {
        if (file != stdin)
            fclose(file);
    }
};

struct Decoded {
    long shown = 0;
    int status = kExitOk;
    Flush flush = Flush::each;
};

void show(const OutputOptions &out, const Traced &t, Decoded &d)
{
    if (t.from == From::hex)
        printMessage(out, t.raw, {"stdin", false, false}, false, d.flush);
    else
        printTraced(out, t, d.flush);
    if (!t.cut() && messageCheck(t.raw) != 0)
        d.status = kExitFailure;
    ++d.shown;
}

// A file is read as fast as it can be: nobody waits for its messages one
// by one, as a reader of `tail -f LOG | kxctl decode` does.
Flush flushFor(FILE *in)
{
    struct stat st {};
    return fstat(fileno(in), &st) == 0 && S_ISREG(st.st_mode) ? Flush::atEnd : Flush::each;
}

} // namespace

int runDecode(const OutputOptions &out, const std::string &file)
{
    Input in(file);
    Decoded d;
    d.flush = flushFor(in.file);
    ReadEvents events{[&](const Traced &t) { show(out, t, d); },
                      [&](const std::string &why) {
                          fprintf(stderr, "kxctl: %s\n", why.c_str());
                          d.status = kExitFailure;
                      }};
    readRecording(in.file, events);
    flushOutput();
    if (d.shown == 0)
        throw Failure(kExitFailure, "no message in the input");
    return d.status;
}

} // namespace kxctl
