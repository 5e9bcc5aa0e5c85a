// The CSV row of one sample, as both logs write it after their time stamp.
#pragma once

#include <string>

#include "driver_channel.h"

namespace qorlogsvc::model::service {

// Per device entry in path order, the component id and both readings in
// lower-case hexadecimal ("id,reading1,reading0"), joined by ",".
std::wstring BuildRow(const DriverChannel::DeviceMap& devices);

}  // namespace qorlogsvc::model::service
