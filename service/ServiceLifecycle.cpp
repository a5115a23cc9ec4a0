#include "service/ServiceLifecycle.h"

plat::ServiceStatusRecord ServiceStatus;
plat::OsHandle ServiceStatusHandle = 0;
plat::Event StopEvent;
