// svcctl create / delete.
#include <cstdio>

#include "commands.h"
#include "error.h"
#include "service_store.h"

int CreateService(const std::string &name, const std::string &program)
{
    if (program.empty() || program.find('\n') != std::string::npos)
        Fail(kErrorInvalidName, "the program path must be one line");
    ServiceStore store = ServiceStore::OpenOrCreate();
    std::string absolute = AbsolutePath(program);
    ServiceDir dir = store.Create(name, absolute);
    std::printf("svcctl: created \"%s\" (%s)\n", dir.name().c_str(), absolute.c_str());
    return 0;
}

int DeleteService(const std::string &name)
{
    ServiceStore store = ServiceStore::Open();
    ServiceDir dir = store.Find(name);
    store.Remove(dir);
    std::printf("svcctl: deleted \"%s\"\n", dir.name().c_str());
    return 0;
}
