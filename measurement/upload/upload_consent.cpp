// The upload side's reads of the engine's consent state.
#include "measurement/upload/upload_seams.h"

namespace measurement {

std::string APMUploadConsentState::consentSignals() const { return consent_->consentSignals(); }
std::string APMUploadConsentState::consentDiagnostics() const { return consent_->consentDiagnostics(); }
bool APMUploadConsentState::isAnalyticsStorageDenied() const { return consent_->isAnalyticsStorageDenied(); }
bool APMUploadConsentState::isAdUserDataDenied() const { return consent_->isAdUserDataDenied(); }
std::string APMUploadConsentState::description() const { return consent_->description(); }

}  // namespace measurement
