// Unit Psock: the socket component TPowersock, its time-out timer TThreadTimer, the server component
// TNMGeneralServer, NthWord and NthPos, and the table of socket error texts.
#pragma once

#include "net/psock/GeneralServer.h"
#include "net/psock/Powersock.h"
#include "net/psock/ThreadTimer.h"
