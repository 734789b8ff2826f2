// Loading the emulator module (qax-sim.so) for QAX_IPMI=sim; platform only.
#ifndef QAX_PLATFORM_IPMI_SIM_MODULE_H
#define QAX_PLATFORM_IPMI_SIM_MODULE_H

#include <string>

struct QaxIpmiBackend;

// The "sim" backend of the emulator module, loaded at the first call: from
// QAX_SIM_MODULE when set, otherwise from beside the executable (the build
// tree) or from the installed library directory. Null with `*why` set when
// no module could be loaded; later calls give the same result.
const QaxIpmiBackend *QaxIpmiLoadSimModule(std::string *why);

#endif
