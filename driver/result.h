// How a run ends: the Result of the public interface, decided in one place
// by the flow that meets a problem; `Start` turns it into the message.
#pragma once

#include "vemk/vemk.h"
