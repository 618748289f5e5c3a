#include "options.h"

#include "error.h"
#include "failure.h"

namespace kxctl {

using namespace kxmsg;

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

} // namespace kxctl
