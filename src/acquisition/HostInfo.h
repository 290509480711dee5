// Computer and user name for the recording header.
#pragma once

#include <string>

// Host name from gethostname, at most 254 bytes; empty when unknown.
std::string ComputerName();
// Name of the effective user from the password database, else $USER; at
// most 254 bytes; empty when unknown.
std::string UserName();
