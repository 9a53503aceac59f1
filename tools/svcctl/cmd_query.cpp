// svcctl query / history.
#include <cstdio>

#include "commands.h"
#include "status_reader.h"

int QueryService(const std::string &name)
{
    ServiceStore store = ServiceStore::Open();
    ServiceDir dir = store.Find(name);
    Reply reply = CurrentStatus(dir);
    std::fputs(FormatQuery(dir.name(), reply.record, reply.pid).c_str(), stdout);
    return 0;
}

int ShowHistory(const std::string &name)
{
    ServiceStore store = ServiceStore::Open();
    ServiceDir dir = store.Find(name);
    for (const ServiceRecord &record : dir.History())
        std::printf("%s\n", FormatRecordWords(record).c_str());
    return 0;
}
