#include "platform/hal/AudioUnit.h"

#include <atomic>
#include <cstring>

#include "platform/hal/AudioHardwareBackend.h"
#include "platform/hal/ComponentRegistry.h"
#include "platform/hal/UnitPropertyListeners.h"

namespace brimo::hal {

// One unit: its implementation, the backend it was made under (asked before every call, so a
// simulated backend can refuse calls), and the state the unit functions check themselves.
struct ComponentInstanceRecord {
    AudioComponentDescription description;
    std::unique_ptr<AudioUnitImplementation> unit;
    std::shared_ptr<AudioHardwareBackend> backend;
    std::atomic<bool> initialized{false};
    std::atomic<bool> started{false};
    std::atomic<AudioDeviceID> currentDevice{kAudioObjectUnknown};
    UnitPropertyListeners listeners;
};

namespace {

OSStatus vetted(const ComponentInstanceRecord& instance, UnitCallKind kind, UInt32 id = 0,
                AudioUnitScope scope = 0, AudioUnitElement element = 0,
                AudioDeviceID device = kAudioObjectUnknown) {
    if (instance.backend == nullptr) {
        return noErr;
    }
    UnitCall call;
    call.component = instance.description;
    call.kind = kind;
    call.device = device != kAudioObjectUnknown
                      ? device
                      : instance.currentDevice.load(std::memory_order_relaxed);
    call.propertyOrParameter = id;
    call.scope = scope;
    call.element = element;
    return instance.backend->unitCallStatus(call);
}

// What the unit itself says of its run state: an output unit whose device I/O ended reads 0
// although it was never stopped. A unit without the property is never running.
bool reportsRunning(ComponentInstanceRecord& instance) {
    UInt32 running = 0;
    UInt32 size = sizeof running;
    return instance.unit->getProperty(kAudioOutputUnitProperty_IsRunning, kAudioUnitScope_Global, 0,
                                      &running, size) == noErr &&
           running != 0;
}

void announceRunState(ComponentInstanceRecord& instance) {
    instance.listeners.announce(&instance, kAudioOutputUnitProperty_IsRunning,
                                kAudioUnitScope_Global, 0);
}

}  // namespace

OSStatus AudioComponentInstanceNew(AudioComponent inComponent,
                                   AudioComponentInstance* outInstance) {
    if (outInstance == nullptr) {
        return kAudio_ParamError;
    }
    *outInstance = nullptr;
    if (inComponent == nullptr) {
        return kAudio_ParamError;
    }
    auto component = snapshotComponent(inComponent);
    if (!component) {
        return kAudioHardwareBadObjectError;
    }
    auto instance = std::make_unique<ComponentInstanceRecord>();
    instance->description = component->description;
    instance->backend = currentAudioHardwareBackend();
    if (const OSStatus status = vetted(*instance, UnitCallKind::instanceNew); status != noErr) {
        return status;
    }
    instance->unit = component->factory ? component->factory() : nullptr;
    if (instance->unit == nullptr) {
        return kAudioUnitErr_FailedInitialization;
    }
    instance->unit->setPropertyChangeHandler([record = instance.get()](AudioUnitPropertyID id,
                                                                       AudioUnitScope scope,
                                                                       AudioUnitElement element) {
        record->listeners.announce(record, id, scope, element);
    });
    *outInstance = instance.release();
    return noErr;
}

OSStatus AudioComponentInstanceDispose(AudioComponentInstance inInstance) {
    if (inInstance == nullptr) {
        return kAudio_ParamError;
    }
    if (inInstance->started.load()) {
        inInstance->unit->stop();
    }
    if (inInstance->initialized.load()) {
        inInstance->unit->uninitialize();
    }
    delete inInstance;
    return noErr;
}

OSStatus AudioUnitGetPropertyInfo(AudioUnit inUnit, AudioUnitPropertyID inID,
                                  AudioUnitScope inScope, AudioUnitElement inElement,
                                  UInt32* outDataSize, bool* outWritable) {
    if (inUnit == nullptr) {
        return kAudio_ParamError;
    }
    UInt32 size = 0;
    bool writable = false;
    const OSStatus status = inUnit->unit->getPropertyInfo(inID, inScope, inElement, size, writable);
    if (status == noErr) {
        if (outDataSize != nullptr) {
            *outDataSize = size;
        }
        if (outWritable != nullptr) {
            *outWritable = writable;
        }
    }
    return status;
}

OSStatus AudioUnitGetProperty(AudioUnit inUnit, AudioUnitPropertyID inID, AudioUnitScope inScope,
                              AudioUnitElement inElement, void* outData, UInt32* ioDataSize) {
    if (inUnit == nullptr || outData == nullptr || ioDataSize == nullptr) {
        return kAudio_ParamError;
    }
    return inUnit->unit->getProperty(inID, inScope, inElement, outData, *ioDataSize);
}

OSStatus AudioUnitSetProperty(AudioUnit inUnit, AudioUnitPropertyID inID, AudioUnitScope inScope,
                              AudioUnitElement inElement, const void* inData, UInt32 inDataSize) {
    if (inUnit == nullptr || (inData == nullptr && inDataSize != 0)) {
        return kAudio_ParamError;
    }
    // The device a unit is being bound to decides whether the call may go through, so the
    // backend sees it before the unit does.
    AudioDeviceID device = kAudioObjectUnknown;
    const bool setsDevice = inID == kAudioOutputUnitProperty_CurrentDevice &&
                            inDataSize == sizeof(AudioDeviceID) && inData != nullptr;
    if (setsDevice) {
        std::memcpy(&device, inData, sizeof device);
    }
    if (const OSStatus status =
            vetted(*inUnit, UnitCallKind::setProperty, inID, inScope, inElement, device);
        status != noErr) {
        return status;
    }
    const OSStatus status = inUnit->unit->setProperty(inID, inScope, inElement, inData, inDataSize);
    if (status == noErr && setsDevice) {
        inUnit->currentDevice.store(device, std::memory_order_relaxed);
    }
    return status;
}

OSStatus AudioUnitGetParameter(AudioUnit inUnit, AudioUnitParameterID inID, AudioUnitScope inScope,
                               AudioUnitElement inElement, AudioUnitParameterValue* outValue) {
    if (inUnit == nullptr || outValue == nullptr) {
        return kAudio_ParamError;
    }
    return inUnit->unit->getParameter(inID, inScope, inElement, *outValue);
}

OSStatus AudioUnitSetParameter(AudioUnit inUnit, AudioUnitParameterID inID, AudioUnitScope inScope,
                               AudioUnitElement inElement, AudioUnitParameterValue inValue,
                               UInt32 inBufferOffsetInFrames) {
    if (inUnit == nullptr) {
        return kAudio_ParamError;
    }
    if (const OSStatus status =
            vetted(*inUnit, UnitCallKind::setParameter, inID, inScope, inElement);
        status != noErr) {
        return status;
    }
    return inUnit->unit->setParameter(inID, inScope, inElement, inValue, inBufferOffsetInFrames);
}

OSStatus AudioUnitInitialize(AudioUnit inUnit) {
    if (inUnit == nullptr) {
        return kAudio_ParamError;
    }
    if (inUnit->initialized.load()) {
        return noErr;
    }
    if (const OSStatus status = vetted(*inUnit, UnitCallKind::initialize); status != noErr) {
        return status;
    }
    const OSStatus status = inUnit->unit->initialize();
    if (status == noErr) {
        inUnit->initialized.store(true);
    }
    return status;
}

OSStatus AudioUnitUninitialize(AudioUnit inUnit) {
    if (inUnit == nullptr) {
        return kAudio_ParamError;
    }
    if (!inUnit->initialized.load()) {
        return noErr;
    }
    if (const OSStatus status = vetted(*inUnit, UnitCallKind::uninitialize); status != noErr) {
        return status;
    }
    // A started unit's callbacks must end before its resources go.
    bool announce = false;
    if (inUnit->started.load()) {
        announce = reportsRunning(*inUnit);
        inUnit->unit->stop();
        inUnit->started.store(false);
    }
    inUnit->initialized.store(false);
    const OSStatus status = inUnit->unit->uninitialize();
    if (announce) {
        announceRunState(*inUnit);
    }
    return status;
}

OSStatus AudioUnitRender(AudioUnit inUnit, AudioUnitRenderActionFlags* ioActionFlags,
                         const AudioTimeStamp* inTimeStamp, UInt32 inOutputBusNumber,
                         UInt32 inNumberFrames, AudioBufferList* ioData) {
    if (inUnit == nullptr || ioData == nullptr) {
        return kAudio_ParamError;
    }
    if (!inUnit->initialized.load(std::memory_order_acquire)) {
        return kAudioUnitErr_Uninitialized;
    }
    if (const OSStatus status = vetted(*inUnit, UnitCallKind::render, 0, 0, inOutputBusNumber);
        status != noErr) {
        return status;
    }
    AudioUnitRenderActionFlags localFlags = 0;
    const AudioTimeStamp zeroTime{};
    return inUnit->unit->render(ioActionFlags != nullptr ? *ioActionFlags : localFlags,
                                inTimeStamp != nullptr ? *inTimeStamp : zeroTime, inOutputBusNumber,
                                inNumberFrames, *ioData);
}

OSStatus AudioOutputUnitStart(AudioUnit inUnit) {
    if (inUnit == nullptr) {
        return kAudio_ParamError;
    }
    if (!inUnit->initialized.load()) {
        return kAudioUnitErr_Uninitialized;
    }
    if (inUnit->started.load()) {
        if (reportsRunning(*inUnit)) {
            return noErr;
        }
        // The device's I/O ended by itself: what is left of it goes before a fresh start.
        inUnit->unit->stop();
        inUnit->started.store(false);
    }
    if (const OSStatus status = vetted(*inUnit, UnitCallKind::start); status != noErr) {
        return status;
    }
    const OSStatus status = inUnit->unit->start();
    if (status == noErr) {
        inUnit->started.store(true);
        announceRunState(*inUnit);
    }
    return status;
}

OSStatus AudioOutputUnitStop(AudioUnit inUnit) {
    if (inUnit == nullptr) {
        return kAudio_ParamError;
    }
    if (!inUnit->started.load()) {
        return noErr;
    }
    if (const OSStatus status = vetted(*inUnit, UnitCallKind::stop); status != noErr) {
        return status;
    }
    const bool wasRunning = reportsRunning(*inUnit);
    const OSStatus status = inUnit->unit->stop();
    if (status == noErr) {
        inUnit->started.store(false);
        if (wasRunning) {
            announceRunState(*inUnit);
        }
    }
    return status;
}

OSStatus AudioUnitAddPropertyListener(AudioUnit inUnit, AudioUnitPropertyID inID,
                                      AudioUnitPropertyListenerProc inProc, void* inProcUserData) {
    if (inUnit == nullptr) {
        return kAudio_ParamError;
    }
    return inUnit->listeners.add(inID, inProc, inProcUserData);
}

OSStatus AudioUnitRemovePropertyListenerWithUserData(AudioUnit inUnit, AudioUnitPropertyID inID,
                                                     AudioUnitPropertyListenerProc inProc,
                                                     void* inProcUserData) {
    if (inUnit == nullptr) {
        return kAudio_ParamError;
    }
    return inUnit->listeners.remove(inID, inProc, inProcUserData);
}

}  // namespace brimo::hal
