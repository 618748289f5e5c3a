#include "options.h"

#include "error.h"
#include "failure.h"

namespace kxctl {

using namespace kxmsg;

void addCommandArguments(CLI::App *verb, CommandWords &words)
{
    verb->add_option("CODE", words.code, "two-letter command code, e.g. cv, CM")->required();
    verb->add_option("ARG", words.args, "argument bytes, one hex byte a word (07, 0x07)");
    verb->add_option("--hex", words.hex, "argument bytes as hex, e.g. 2014280000000030");
    verb->add_option("--string", words.text, "argument bytes as text");
}

Bytes commandArguments(const CommandWords &o)
{
    int kinds = (o.args.empty() ? 0 : 1) + (o.hex.empty() ? 0 : 1) + (o.text.empty() ? 0 : 1);
    if (kinds > 1)
        throw Failure(kExitUsage, "give the arguments one way: as ARG bytes, --hex or --string");
    try {
        if (!o.hex.empty())
            return parseHexText(o.hex);
        return o.text.empty() ? argumentBytes(o.args) : toBytes(o.text);
    } catch (const Error &e) {
        throw Failure(kExitUsage, (o.hex.empty() ? "" : "--hex: ") + std::string(e.what()));
    }
}

void addAddressing(CLI::App *verb, SendOptions &send)
{
    verb->add_option("-m,--mailbox", send.mailbox,
                     "mailbox to put the command into (/to_camera, /to_wif, /to_csi)")
        ->capture_default_str();
    verb->add_flag("--force", send.force,
                   "send also what the daemon would refuse or not read: an unknown code, a "
                   "wrong argument length, another mailbox, a nearly full /to_kxnet");
    verb->add_option("--source", send.source, "source element (default: the mailbox)");
    verb->add_option("--destination", send.destination, "destination element")
        ->capture_default_str();
    verb->add_option("--type", send.type, "message type")
        ->check(CLI::Range(0, 255))
        ->capture_default_str();
}

CLI::Validator seconds(bool zeroAllowed)
{
    std::string range = zeroAllowed ? "from 0 (for ever) to 86400" : "above 0, at most 86400";
    return CLI::Validator(
        [zeroAllowed, range](std::string &text) -> std::string {
            size_t used = 0;
            double value = -1;
            try {
                value = std::stod(text, &used);
            } catch (const std::exception &) {
            }
            bool fits = used == text.size() && value <= 86400 && (value > 0 || (zeroAllowed && value == 0));
            return fits ? "" : "seconds " + range + ", not " + text;
        },
        "SECONDS");
}

} // namespace kxctl
