#pragma once

#include <string>

#include "platform/hal/AudioObject.h"
#include "platform/hal/AudioTypes.h"

namespace brimo::hal {

// Audio units: components found by description, instances made from them, configured through
// properties and parameters, and pulled through render. Output units (the HAL output unit)
// are also started and stopped; their device then drives their callbacks.

struct AudioComponentDescription {
    OSType componentType = 0;
    OSType componentSubType = 0;
    OSType componentManufacturer = 0;
    UInt32 componentFlags = 0;
    UInt32 componentFlagsMask = 0;
};

// A registered component. Handles stay valid for the life of the process, also after the
// component has been unregistered.
struct OpaqueAudioComponent;
using AudioComponent = OpaqueAudioComponent*;
// One live unit, from AudioComponentInstanceNew until AudioComponentInstanceDispose.
struct ComponentInstanceRecord;
using AudioComponentInstance = ComponentInstanceRecord*;
using AudioUnit = AudioComponentInstance;

using AudioUnitPropertyID = UInt32;
using AudioUnitScope = UInt32;
using AudioUnitElement = UInt32;
using AudioUnitParameterID = UInt32;
using AudioUnitParameterValue = Float32;
using AudioUnitRenderActionFlags = UInt32;

// Component types, subtypes and manufacturers.
inline constexpr OSType kAudioUnitType_Output = fourCharCode("auou");
inline constexpr OSType kAudioUnitType_FormatConverter = fourCharCode("aufc");
inline constexpr OSType kAudioUnitSubType_HALOutput = fourCharCode("ahal");
inline constexpr OSType kAudioUnitSubType_DefaultOutput = fourCharCode("def ");
inline constexpr OSType kAudioUnitSubType_NewTimePitch = fourCharCode("nutp");
inline constexpr OSType kAudioUnitManufacturer_Apple = fourCharCode("appl");

// Scopes. Output units name their capture side element 1 and their playback side element 0.
inline constexpr AudioUnitScope kAudioUnitScope_Global = 0;
inline constexpr AudioUnitScope kAudioUnitScope_Input = 1;
inline constexpr AudioUnitScope kAudioUnitScope_Output = 2;

// Properties, with the type of their data.
// Float64, read only: the rate of the stream format at that scope and element.
inline constexpr AudioUnitPropertyID kAudioUnitProperty_SampleRate = 2;
// AudioStreamBasicDescription (40 bytes).
inline constexpr AudioUnitPropertyID kAudioUnitProperty_StreamFormat = 8;
// Float64 seconds, read only.
inline constexpr AudioUnitPropertyID kAudioUnitProperty_Latency = 12;
// UInt32: the most frames one render may ask for; set before initialize.
inline constexpr AudioUnitPropertyID kAudioUnitProperty_MaximumFramesPerSlice = 14;
// AURenderCallbackStruct (16 bytes): where the unit pulls its input from.
inline constexpr AudioUnitPropertyID kAudioUnitProperty_SetRenderCallback = 23;
// AudioDeviceID (4 bytes), global scope: the device an output unit runs on.
inline constexpr AudioUnitPropertyID kAudioOutputUnitProperty_CurrentDevice = 2000;
// UInt32, read only: 1 while started.
inline constexpr AudioUnitPropertyID kAudioOutputUnitProperty_IsRunning = 2001;
// UInt32 0 or 1: input scope element 1 = capture, output scope element 0 = playback.
inline constexpr AudioUnitPropertyID kAudioOutputUnitProperty_EnableIO = 2003;
// AURenderCallbackStruct (16 bytes), global scope: told when captured frames are ready.
inline constexpr AudioUnitPropertyID kAudioOutputUnitProperty_SetInputCallback = 2005;
// UInt32, read only: whether the current device has that side (same scopes as EnableIO).
inline constexpr AudioUnitPropertyID kAudioOutputUnitProperty_HasIO = 2006;

// Parameters of the time-pitch format converter (global scope, element 0).
inline constexpr AudioUnitParameterID kNewTimePitchParam_Rate = 0;
inline constexpr AudioUnitParameterID kNewTimePitchParam_Pitch = 1;
inline constexpr AudioUnitParameterID kNewTimePitchParam_Overlap = 4;
inline constexpr AudioUnitParameterID kNewTimePitchParam_EnablePeakLocking = 6;

// Render action flags.
inline constexpr AudioUnitRenderActionFlags kAudioUnitRenderAction_PreRender = 1U << 2U;
inline constexpr AudioUnitRenderActionFlags kAudioUnitRenderAction_PostRender = 1U << 3U;
// The buffers hold silence (or, from an input procedure, fewer frames than asked for).
inline constexpr AudioUnitRenderActionFlags kAudioUnitRenderAction_OutputIsSilence = 1U << 4U;
inline constexpr AudioUnitRenderActionFlags kAudioUnitRenderAction_PostRenderError = 1U << 8U;

// The shape of every render, input and input-procedure callback. ioData is null for an output
// unit's input callback (the callback pulls the frames with AudioUnitRender on bus 1).
using AURenderCallback = OSStatus (*)(void* inRefCon, AudioUnitRenderActionFlags* ioActionFlags,
                                      const AudioTimeStamp* inTimeStamp, UInt32 inBusNumber,
                                      UInt32 inNumberFrames, AudioBufferList* ioData);

struct AURenderCallbackStruct {
    AURenderCallback inputProc = nullptr;
    void* inputProcRefCon = nullptr;
};
static_assert(sizeof(AURenderCallbackStruct) == 16);

// Told that a property of the unit changed (scope and element of the change). Runs on whatever
// thread made the change: a control call's, or a thread of the audio backend.
using AudioUnitPropertyListenerProc = void (*)(void* inRefCon, AudioUnit inUnit,
                                               AudioUnitPropertyID inID, AudioUnitScope inScope,
                                               AudioUnitElement inElement);

// ---- Components -----------------------------------------------------------------------------

// The next registered component after inComponent (null: the first) that matches inDesc; a
// description field of 0 matches anything. Null when there is none.
AudioComponent AudioComponentFindNext(AudioComponent inComponent,
                                      const AudioComponentDescription* inDesc);
OSStatus AudioComponentGetDescription(AudioComponent inComponent,
                                      AudioComponentDescription* outDesc);
// The component's name, or empty for a null component.
std::string AudioComponentCopyName(AudioComponent inComponent);

OSStatus AudioComponentInstanceNew(AudioComponent inComponent, AudioComponentInstance* outInstance);
// Stops and uninitializes the instance if needed, then frees it. The handle is dead afterwards.
OSStatus AudioComponentInstanceDispose(AudioComponentInstance inInstance);

// ---- Units ----------------------------------------------------------------------------------

OSStatus AudioUnitGetPropertyInfo(AudioUnit inUnit, AudioUnitPropertyID inID,
                                  AudioUnitScope inScope, AudioUnitElement inElement,
                                  UInt32* outDataSize, bool* outWritable);
// On entry *ioDataSize is the room at outData; on success, the bytes written.
OSStatus AudioUnitGetProperty(AudioUnit inUnit, AudioUnitPropertyID inID, AudioUnitScope inScope,
                              AudioUnitElement inElement, void* outData, UInt32* ioDataSize);
OSStatus AudioUnitSetProperty(AudioUnit inUnit, AudioUnitPropertyID inID, AudioUnitScope inScope,
                              AudioUnitElement inElement, const void* inData, UInt32 inDataSize);

OSStatus AudioUnitGetParameter(AudioUnit inUnit, AudioUnitParameterID inID, AudioUnitScope inScope,
                               AudioUnitElement inElement, AudioUnitParameterValue* outValue);
// May be called from any thread while another thread renders the unit.
OSStatus AudioUnitSetParameter(AudioUnit inUnit, AudioUnitParameterID inID, AudioUnitScope inScope,
                               AudioUnitElement inElement, AudioUnitParameterValue inValue,
                               UInt32 inBufferOffsetInFrames);

OSStatus AudioUnitInitialize(AudioUnit inUnit);
OSStatus AudioUnitUninitialize(AudioUnit inUnit);

// Fills ioData with inNumberFrames frames of bus inOutputBusNumber. Real-time safe: no
// allocation and no lock. ioActionFlags may be null. Fails with
// kAudioUnitErr_TooManyFramesToProcess beyond the unit's maximum frames per slice and with
// kAudioUnitErr_Uninitialized before AudioUnitInitialize.
OSStatus AudioUnitRender(AudioUnit inUnit, AudioUnitRenderActionFlags* ioActionFlags,
                         const AudioTimeStamp* inTimeStamp, UInt32 inOutputBusNumber,
                         UInt32 inNumberFrames, AudioBufferList* ioData);

// Output units only. Start needs an initialized unit; when Stop returns, none of the unit's
// callbacks is running or will run until the next start. Starting a unit whose device I/O
// ended by itself (kAudioOutputUnitProperty_IsRunning reads 0) starts it afresh.
OSStatus AudioOutputUnitStart(AudioUnit inUnit);
OSStatus AudioOutputUnitStop(AudioUnit inUnit);

// ---- Property listeners ---------------------------------------------------------------------
// kAudioOutputUnitProperty_IsRunning is announced whenever its value changes: after a start or
// stop (on the calling thread), and when the device's I/O ends without a stop because the
// device went away or the audio server ended the stream (on a thread of the backend, which may
// hold the device's lock: a listener hands the news to a queue of its own and never stops,
// uninitializes or disposes the unit from inside). Disposing a unit announces nothing.
// Adding the same (property, proc, user data) twice keeps one. When removal returns on a thread
// other than the listener's own, the listener is not running and will not run again.
OSStatus AudioUnitAddPropertyListener(AudioUnit inUnit, AudioUnitPropertyID inID,
                                      AudioUnitPropertyListenerProc inProc, void* inProcUserData);
// Removing a registration that does not exist is no error.
OSStatus AudioUnitRemovePropertyListenerWithUserData(AudioUnit inUnit, AudioUnitPropertyID inID,
                                                     AudioUnitPropertyListenerProc inProc,
                                                     void* inProcUserData);

}  // namespace brimo::hal
