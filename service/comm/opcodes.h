// The opcodes live in the wire contract shared with the tray program and the peers.
#pragma once

#include "contract/opcodes.h"
