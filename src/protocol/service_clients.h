#pragma once
// What the other roles ask of the service: through the service control manager, and the control pipe's
// client end.
#include <windows.h>

#include <string>

#include "app/handles.h"

namespace calmlane {

// Installed and in the running state; any failure (no manager, no service, no access) is false.
bool serviceRunning();

// The process id of the running service; 0 when it is not running or cannot be queried.
unsigned long serviceProcessId();

// Sends the restore control; 0 when it was delivered, 1 otherwise (the --restore-network exit code).
int requestNetworkRestore();

// Opens the pipe the service published, identification only (a server under that name cannot act as the
// user), waiting up to waitMs while another client holds it; empty when there is none or it stays busy.
UniqueHandle openControlPipe(unsigned long waitMs);

}  // namespace calmlane
