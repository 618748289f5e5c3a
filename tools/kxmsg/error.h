// How the message library refuses input: one error type, whose text says
// what was wrong and, where the reader knows it, where (a line or packet
// number). It knows nothing of exit statuses; the program that reads
// decides what a refusal costs.
#pragma once

#include <stdexcept>
#include <string>

namespace kxmsg {

struct Error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

} // namespace kxmsg
