#pragma once

#include <stdexcept>
#include <string>

namespace qelt {

// The one error type of the core. Its what() is the system's own message, ready to be shown to
// the user as it stands ("Cannot open file /var/log/proxy/log1.txt", "File access denied", ...).
// A message may have a second line that says why.
class QeltError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

} // namespace qelt
