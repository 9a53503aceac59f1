// svcctl create / delete.
#include <unistd.h>

#include <cstdio>

#include "commands.h"
#include "error.h"
#include "program_launch.h"
#include "service_store.h"

int CreateService(const std::string &name, const std::string &program)
{
    if (program.empty() || program.find('\n') != std::string::npos)
        Fail(kErrorInvalidName, "the program path must be one line");
    ServiceStore store = ServiceStore::OpenOrCreate();
    std::string absolute = AbsolutePath(program);
    // A program not installed yet is looked for again at start.
    if (access(absolute.c_str(), F_OK) == 0)
        CheckProgram(absolute);
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
