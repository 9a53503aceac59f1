#include "machine_name.h"

#include <ctype.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include "last_error.h"

namespace w32 {
namespace {

std::string host_name()
{
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0)
        return "localhost";
    return name;
}

} // namespace

std::string computer_name()
{
    std::string name = host_name();
    name = name.substr(0, name.find('.'));
    if (name.size() > MAX_COMPUTERNAME_LENGTH)
        name.resize(MAX_COMPUTERNAME_LENGTH);
    for (char &c : name)
        c = char(toupper(static_cast<unsigned char>(c)));
    return name;
}

bool is_this_machine(const std::string &host)
{
    return strcasecmp(host.c_str(), host_name().c_str()) == 0 ||
           strcasecmp(host.c_str(), computer_name().c_str()) == 0;
}

} // namespace w32

extern "C" BOOL GetComputerNameA(LPSTR lpBuffer, LPDWORD nSize)
{
    if (!nSize)
        return w32::fail(ERROR_INVALID_PARAMETER);
    std::string name = w32::computer_name();
    DWORD needed = DWORD(name.size() + 1);
    if (!lpBuffer || *nSize < needed) {
        *nSize = needed;
        return w32::fail(ERROR_BUFFER_OVERFLOW);
    }
    memcpy(lpBuffer, name.c_str(), needed);
    *nSize = needed - 1;
    return w32::succeed();
}
