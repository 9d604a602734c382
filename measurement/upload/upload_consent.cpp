// The upload side's consent seam answers through the engine core's.
#include "measurement/core/seams.h"
#include "measurement/upload/upload_seams.h"

namespace measurement {

std::string APMUploadConsentSeam::consentSignals() const { return APMSeams::consentState()->consentSignals(); }
std::string APMUploadConsentSeam::consentDiagnostics() const {
    return APMSeams::consentState()->consentDiagnostics();
}
bool APMUploadConsentSeam::isAnalyticsStorageDenied() const {
    return APMSeams::consentState()->isAnalyticsStorageDenied();
}
bool APMUploadConsentSeam::isAdUserDataDenied() const { return APMSeams::consentState()->isAdUserDataDenied(); }
std::string APMUploadConsentSeam::description() const { return APMSeams::consentState()->description(); }

}  // namespace measurement
