// svcctl's commands; each returns the process exit status or throws SvcError.
#ifndef SVCCTL_COMMANDS_H
#define SVCCTL_COMMANDS_H

#include <cstdint>
#include <string>

int CreateService(const std::string &name, const std::string &program);
int DeleteService(const std::string &name);
int StartService(const std::string &name, bool foreground);
int ControlService(const std::string &name, uint32_t code);
int StopService(const std::string &name);
int QueryService(const std::string &name);
int ShowHistory(const std::string &name);

#endif
