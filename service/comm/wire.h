// The byte order helpers, text fields and heads live in the wire contract shared with
// the tray program and the peers.
#pragma once

#include "contract/wire.h"
