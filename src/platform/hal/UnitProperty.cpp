#include "platform/hal/UnitProperty.h"

namespace brimo::hal {

namespace {

bool holds(UInt32 elements, AudioUnitElement element) {
    return element < 32 && (elements & (1U << element)) != 0;
}

}  // namespace

OSStatus UnitPropertyTable::find(AudioUnitPropertyID id, AudioUnitScope scope,
                                 AudioUnitElement element, const UnitPropertyRow*& row) const {
    row = nullptr;
    for (const UnitPropertyRow& candidate : rows_) {
        if (candidate.id != id) {
            continue;
        }
        if (scope > kAudioUnitScope_Output || candidate.readable.at(scope) == 0) {
            return kAudioUnitErr_InvalidScope;
        }
        if (!holds(candidate.readable.at(scope), element)) {
            return kAudioUnitErr_InvalidElement;
        }
        row = &candidate;
        return noErr;
    }
    return kAudioUnitErr_InvalidProperty;
}

OSStatus UnitPropertyTable::info(AudioUnitPropertyID id, AudioUnitScope scope,
                                 AudioUnitElement element, UInt32& dataSize, bool& writable) const {
    const UnitPropertyRow* row = nullptr;
    if (const OSStatus status = find(id, scope, element, row); status != noErr) {
        return status;
    }
    dataSize = row->size;
    writable = holds(row->writable.at(scope), element);
    return noErr;
}

OSStatus UnitPropertyTable::checkWrite(AudioUnitPropertyID id, AudioUnitScope scope,
                                       AudioUnitElement element, const void* data, UInt32 size,
                                       bool initialized) const {
    const UnitPropertyRow* row = nullptr;
    if (const OSStatus status = find(id, scope, element, row); status != noErr) {
        return status;
    }
    if (!holds(row->writable.at(scope), element)) {
        return kAudioUnitErr_PropertyNotWritable;
    }
    if (data == nullptr || size != row->size) {
        return kAudio_ParamError;
    }
    if (initialized && !row->changesWhileInitialized) {
        return kAudioUnitErr_Initialized;
    }
    return noErr;
}

}  // namespace brimo::hal
