// Telling the service's pipes from a program that took their names.
#pragma once

#include <windows.h>

// True when the pipe is owned by LocalSystem, as the service's pipes are. A
// program without administrator rights cannot create a pipe with that owner,
// so this tells the service from a program that took its name. Reading the
// owner needs only the read access every client has, also across the
// network.
bool OwnedByLocalSystem(HANDLE pipe);
