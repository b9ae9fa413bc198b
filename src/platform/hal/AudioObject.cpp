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

// Calls `call` with the installed backend: kAudio_ParamError when an argument it needs is
// missing, kAudioHardwareNotRunningError when no backend is installed.
template <typename Call>
OSStatus onBackend(bool argumentsPresent, Call call) {
    if (!argumentsPresent) {
        return kAudio_ParamError;
    }
    const auto backend = currentAudioHardwareBackend();
    if (backend == nullptr) {
        return kAudioHardwareNotRunningError;
    }
    return call(*backend);
}

// For a property that cannot take the call: the status a read of it fails with (an unknown
// object or property), else `otherwise`.
OSStatus unknownPropertyStatus(AudioHardwareBackend& backend, AudioObjectID object,
                               const AudioObjectPropertyAddress& address, OSStatus otherwise) {
    UInt32 size = 0;
    const OSStatus status = backend.getPropertyDataSize(object, address, 0, nullptr, size);
    return status != noErr ? status : otherwise;
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
    return onBackend(inAddress != nullptr && outDataSize != nullptr, [&](auto& backend) {
        return backend.getPropertyDataSize(inObjectID, *inAddress, inQualifierDataSize,
                                           inQualifierData, *outDataSize);
    });
}

OSStatus AudioObjectGetPropertyData(AudioObjectID inObjectID,
                                    const AudioObjectPropertyAddress* inAddress,
                                    UInt32 inQualifierDataSize, const void* inQualifierData,
                                    UInt32* ioDataSize, void* outData) {
    return onBackend(inAddress != nullptr && ioDataSize != nullptr && outData != nullptr,
                     [&](auto& backend) {
                         return backend.getPropertyData(inObjectID, *inAddress, inQualifierDataSize,
                                                        inQualifierData, *ioDataSize, outData);
                     });
}

OSStatus AudioObjectIsPropertySettable(AudioObjectID inObjectID,
                                       const AudioObjectPropertyAddress* inAddress,
                                       bool* outIsSettable) {
    return onBackend(inAddress != nullptr && outIsSettable != nullptr, [&](auto& backend) {
        if (!backend.hasProperty(inObjectID, *inAddress)) {
            return unknownPropertyStatus(backend, inObjectID, *inAddress,
                                         kAudioHardwareUnknownPropertyError);
        }
        *outIsSettable = isSettableProperty(inObjectID, *inAddress);
        return noErr;
    });
}

OSStatus AudioObjectSetPropertyData(AudioObjectID inObjectID,
                                    const AudioObjectPropertyAddress* inAddress,
                                    UInt32 inQualifierDataSize, const void* inQualifierData,
                                    UInt32 inDataSize, const void* inData) {
    return onBackend(inAddress != nullptr && inData != nullptr, [&](auto& backend) {
        if (!isSettableProperty(inObjectID, *inAddress)) {
            return unknownPropertyStatus(backend, inObjectID, *inAddress,
                                         kAudioHardwareIllegalOperationError);
        }
        if (inDataSize != sizeof(AudioDeviceID)) {
            return kAudioHardwareBadPropertySizeError;
        }
        return backend.setPropertyData(inObjectID, *inAddress, inQualifierDataSize, inQualifierData,
                                       inDataSize, inData);
    });
}

OSStatus AudioObjectAddPropertyListener(AudioObjectID inObjectID,
                                        const AudioObjectPropertyAddress* inAddress,
                                        AudioObjectPropertyListenerProc inListener,
                                        void* inClientData) {
    return onBackend(inAddress != nullptr && inListener != nullptr, [&](auto& backend) {
        return backend.addPropertyListener(inObjectID, *inAddress, inListener, inClientData);
    });
}

OSStatus AudioObjectRemovePropertyListener(AudioObjectID inObjectID,
                                           const AudioObjectPropertyAddress* inAddress,
                                           AudioObjectPropertyListenerProc inListener,
                                           void* inClientData) {
    return onBackend(inAddress != nullptr && inListener != nullptr, [&](auto& backend) {
        return backend.removePropertyListener(inObjectID, *inAddress, inListener, inClientData);
    });
}

}  // namespace brimo::hal
