// The exchange logs through the voip library's sink, which pbx-exchange's main points at its log file.
#pragma once

#include "voip/core/Log.h"

namespace exchange {
using voip::Log;
using voip::Emergency;
using voip::Alert;
using voip::Critical;
using voip::Error;
using voip::Warning;
using voip::Notice;
using voip::Informational;
using voip::Debug;
} // namespace exchange
