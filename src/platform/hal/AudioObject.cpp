#include "platform/hal/AudioObject.h"

#include "platform/hal/AudioHardwareBackend.h"

namespace brimo::hal {

namespace {

bool isSettableProperty(AudioObjectID object, const AudioObjectPropertyAddress& address) {
    return object == kAudioObjectSystemObject &&
           address.mSelector == kAudioHardwarePropertyDefaultOutputDevice &&
           address.mScope == kAudioObjectPropertyScopeGlobal &&
           address.mElement == kAudioObjectPropertyElementMain;
}

}  // namespace

bool AudioObjectHasProperty(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress) {
    const auto backend = currentAudioHardwareBackend();
    return backend != nullptr && inAddress != nullptr &&
           backend->hasProperty(inObjectID, *inAddress);
}

OSStatus AudioObjectGetPropertyDataSize(AudioObjectID inObjectID,
                                        const AudioObjectPropertyAddress* inAddress,
                                        UInt32 inQualifierDataSize, const void* inQualifierData,
                                        UInt32* outDataSize) {
    if (inAddress == nullptr || outDataSize == nullptr) {
        return kAudio_ParamError;
    }
    const auto backend = currentAudioHardwareBackend();
    if (backend == nullptr) {
        return kAudioHardwareNotRunningError;
    }
    return backend->getPropertyDataSize(inObjectID, *inAddress, inQualifierDataSize,
                                        inQualifierData, *outDataSize);
}

OSStatus AudioObjectGetPropertyData(AudioObjectID inObjectID,
                                    const AudioObjectPropertyAddress* inAddress,
                                    UInt32 inQualifierDataSize, const void* inQualifierData,
                                    UInt32* ioDataSize, void* outData) {
    if (inAddress == nullptr || ioDataSize == nullptr || outData == nullptr) {
        return kAudio_ParamError;
    }
    const auto backend = currentAudioHardwareBackend();
    if (backend == nullptr) {
        return kAudioHardwareNotRunningError;
    }
    return backend->getPropertyData(inObjectID, *inAddress, inQualifierDataSize, inQualifierData,
                                    *ioDataSize, outData);
}

OSStatus AudioObjectIsPropertySettable(AudioObjectID inObjectID,
                                       const AudioObjectPropertyAddress* inAddress,
                                       bool* outIsSettable) {
    if (inAddress == nullptr || outIsSettable == nullptr) {
        return kAudio_ParamError;
    }
    const auto backend = currentAudioHardwareBackend();
    if (backend == nullptr) {
        return kAudioHardwareNotRunningError;
    }
    if (!backend->hasProperty(inObjectID, *inAddress)) {
        UInt32 size = 0;
        const OSStatus status =
            backend->getPropertyDataSize(inObjectID, *inAddress, 0, nullptr, size);
        return status != noErr ? status : kAudioHardwareUnknownPropertyError;
    }
    *outIsSettable = isSettableProperty(inObjectID, *inAddress);
    return noErr;
}

OSStatus AudioObjectSetPropertyData(AudioObjectID inObjectID,
                                    const AudioObjectPropertyAddress* inAddress,
                                    UInt32 inQualifierDataSize, const void* inQualifierData,
                                    UInt32 inDataSize, const void* inData) {
    if (inAddress == nullptr || inData == nullptr) {
        return kAudio_ParamError;
    }
    const auto backend = currentAudioHardwareBackend();
    if (backend == nullptr) {
        return kAudioHardwareNotRunningError;
    }
    if (!isSettableProperty(inObjectID, *inAddress)) {
        UInt32 size = 0;
        const OSStatus status =
            backend->getPropertyDataSize(inObjectID, *inAddress, 0, nullptr, size);
        return status != noErr ? status : kAudioHardwareIllegalOperationError;
    }
    if (inDataSize != sizeof(AudioDeviceID)) {
        return kAudioHardwareBadPropertySizeError;
    }
    return backend->setPropertyData(inObjectID, *inAddress, inQualifierDataSize, inQualifierData,
                                    inDataSize, inData);
}

OSStatus AudioObjectAddPropertyListener(AudioObjectID inObjectID,
                                        const AudioObjectPropertyAddress* inAddress,
                                        AudioObjectPropertyListenerProc inListener,
                                        void* inClientData) {
    if (inAddress == nullptr || inListener == nullptr) {
        return kAudio_ParamError;
    }
    const auto backend = currentAudioHardwareBackend();
    if (backend == nullptr) {
        return kAudioHardwareNotRunningError;
    }
    return backend->addPropertyListener(inObjectID, *inAddress, inListener, inClientData);
}

OSStatus AudioObjectRemovePropertyListener(AudioObjectID inObjectID,
                                           const AudioObjectPropertyAddress* inAddress,
                                           AudioObjectPropertyListenerProc inListener,
                                           void* inClientData) {
    if (inAddress == nullptr || inListener == nullptr) {
        return kAudio_ParamError;
    }
    const auto backend = currentAudioHardwareBackend();
    if (backend == nullptr) {
        return kAudioHardwareNotRunningError;
    }
    return backend->removePropertyListener(inObjectID, *inAddress, inListener, inClientData);
}

}  // namespace brimo::hal
