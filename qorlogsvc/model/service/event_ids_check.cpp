// Built only with the Windows message table: the ids that windmc gave the
// texts are the ids the service writes.
#include "service_events.h"
#include "tarnsvc_messages.h"

namespace qorlogsvc::model::service {
static_assert(TARN_MSG_SAMPLING_BEGAN == kEventSamplingBegan);
static_assert(TARN_MSG_START_STEP_FAILED == kEventStartStepFailed);
static_assert(TARN_MSG_SAMPLING_RESUMED == kEventSamplingResumed);
static_assert(TARN_MSG_DRIVER_LOST == kEventDriverLost);
static_assert(TARN_MSG_DRIVER_RECOVERED == kEventDriverRecovered);
static_assert(TARN_MSG_CONTROLS_NOT_ARRIVING == kEventControlsNotArriving);
}  // namespace qorlogsvc::model::service
