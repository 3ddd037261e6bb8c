/*
 * veltari.h - the Veltari lighting SDK.
 *
 * The library drives the RGB lighting of keyboards, mice, headsets and LED strips through a lighting
 * server that runs as a separate process on the same machine. It does no device I/O itself: every call
 * that talks to the server sends one JSON request over the server's pipes and waits for the answer.
 *
 * General rules that hold for every function below:
 *
 *  - Call VeltariPerformProtocolHandshake() first. Until a handshake has received an answer, every other
 *    function (except VeltariGetLastError) fails with VeltariErrorNoHandshake.
 *  - Every function reports failure through its result and through the calling thread's last error,
 *    read with VeltariGetLastError(). Each function makes its tests in a fixed order, documented per
 *    function; the first test that fails decides the last error and nothing is sent to the server.
 *  - A lost server is never reconnected behind your back: calls fail with VeltariErrorServerUnreachable
 *    until the next VeltariPerformProtocolHandshake() reconnects.
 *  - Records and texts returned by pointer are owned by the library and stay valid and unchanged until
 *    the library is unloaded. Never free or modify them. Device descriptions and LED positions are kept
 *    once per distinct answer: a call whose answer equals one already kept returns that same record, so
 *    asking every frame does not grow memory (a changed answer gets a new record; earlier ones stay as
 *    they were). Each successful handshake keeps a new serverVersion text.
 *  - Arrays you pass in are read (and, for the get functions, written) only during the call.
 *  - Every function may be called from any thread. Requests of all threads are serialised: one request
 *    is in flight per process at a time. The length word and the payload of each message get at most
 *    5000 ms each, however the system splits them, both when writing a request and reading its answer.
 *  - Callbacks (asynchronous completion and key presses) run on threads owned by the library. Those
 *    threads sleep until there is work: a process that makes no call is never woken by the library.
 *  - The library writes nothing to any log or console.
 */
#ifndef VELTARI_H
#define VELTARI_H

#include <stdbool.h>

#include "veltari_version.h" /* VELTARI_VERSION_MAJOR, _MINOR, _PATCH, _STRING, _NUMBER */

#if defined(VELTARI_STATIC)
#define VELTARI_API
#elif defined(_WIN32)
#if defined(VELTARI_BUILDING)
#define VELTARI_API __declspec(dllexport)
#else
#define VELTARI_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define VELTARI_API __attribute__((visibility("default")))
#else
#define VELTARI_API
#endif

/* The enumerations below carry any int: servers report error codes and property ids of their own, and
 * callers may pass values outside the named ones. C++ needs the underlying type spelled out for that. */
#ifdef __cplusplus
#define VELTARI_INT_ENUM : int
#else
#define VELTARI_INT_ENUM
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------------------------------ */
/* Errors                                                                                            */
/* ------------------------------------------------------------------------------------------------ */

/**
 * Error codes stored in the calling thread's last error. The library itself produces 0, 1, 3, 4 and 5.
 * Any other value was reported by the server in its answer and is passed on unchanged; the reference
 * server's own codes are listed in its documentation.
 */
typedef enum VeltariError VELTARI_INT_ENUM {
    /** The call did what was asked. */
    VeltariErrorSuccess = 0,
    /** There is no working connection to the server: it is not running, it stopped, or it did not
     *  answer within 5000 ms. Call VeltariPerformProtocolHandshake() again to reconnect. Also set,
     *  rarely, when the library could not get the memory or thread a call needed; the call was not
     *  carried out and may be tried again. */
    VeltariErrorServerUnreachable = 1,
    /** Never produced by the library; only a server reports it, for a failure of its own. */
    VeltariErrorServerFailure = 2,
    /** No protocol handshake has received an answer in this process yet. */
    VeltariErrorNoHandshake = 3,
    /** The server speaks an older protocol than the function needs (see each function's minimum). */
    VeltariErrorServerProtocolTooOld = 4,
    /** An argument is out of range, a required pointer is null, or the server does not know the
     *  device or item asked for. */
    VeltariErrorBadArgument = 5
} VeltariError;

/**
 * The name of an error code, for messages and logs: "VeltariErrorBadArgument" for 5, and so on.
 * error: any value, as VeltariGetLastError() returned it.
 * Returns a static text, or NULL for a code the library does not name (one of the server's own).
 * Needs no handshake, sets no last error, safe on any thread. Defined here in the header, so the
 * library does not export it.
 */
static inline const char* VeltariErrorName(VeltariError error) {
    switch ((int)error) {
    case 0: return "VeltariErrorSuccess";
    case 1: return "VeltariErrorServerUnreachable";
    case 2: return "VeltariErrorServerFailure";
    case 3: return "VeltariErrorNoHandshake";
    case 4: return "VeltariErrorServerProtocolTooOld";
    case 5: return "VeltariErrorBadArgument";
    default: return 0;
    }
}

/* ------------------------------------------------------------------------------------------------ */
/* Records                                                                                           */
/* ------------------------------------------------------------------------------------------------ */

/** What VeltariPerformProtocolHandshake() learnt about the library and the server. */
typedef struct VeltariProtocolDetails {
    /** The library's version text, always VELTARI_VERSION_STRING ("3.0.214" in this release). */
    const char* sdkVersion;
    /** The server's version text as the server sent it; NULL when the handshake got no answer. */
    const char* serverVersion;
    /** The library's protocol version, always 9. */
    int sdkProtocolVersion;
    /** The server's protocol version; 0 when the handshake got no answer. */
    int serverProtocolVersion;
    /** True when the server declares its protocol incompatible with the library's. */
    bool breakingChanges;
} VeltariProtocolDetails;

/** A device attached to a channel of an LED controller. */
typedef struct VeltariChannelDevice {
    /** Device type code, as the server defines it. */
    int type;
    /** Number of LEDs of this attached device. */
    int deviceLedCount;
} VeltariChannelDevice;

/** One lighting channel of a device (for example one connector of an LED strip controller). */
typedef struct VeltariChannel {
    /** Number of LEDs on the whole channel. */
    int totalLedsCount;
    /** Number of entries in devices. */
    int devicesCount;
    /** The devices attached to the channel; NULL when there are none. */
    VeltariChannelDevice* devices;
} VeltariChannel;

/** Description of one device, returned by VeltariGetDeviceInfo(). */
typedef struct VeltariDeviceInfo {
    /** Device type code (keyboard, mouse, headset, ...), as the server defines it. */
    int type;
    /** Model name, NUL-terminated; never NULL (empty when the server sent none). */
    const char* model;
    /** Physical layout code, as the server defines it. */
    int physicalLayout;
    /** Logical layout code, as the server defines it. */
    int logicalLayout;
    /** Capability bit mask, as the server defines it. */
    int capsMask;
    /** Number of LEDs of the device. */
    int ledsCount;
    /** Number of entries in channels; 0 when the device has none. */
    int channelsCount;
    /** The device's lighting channels; NULL when there are none. */
    VeltariChannel* channels;
} VeltariDeviceInfo;

/** Where one LED sits, in the server's units (the reference server uses millimetres). */
typedef struct VeltariLedPosition {
    /** The LED id, 1 to 911, as taken by the colour functions. */
    int ledId;
    /** Distance of the LED's top edge from the device's top edge. */
    double top;
    /** Distance of the LED's left edge from the device's left edge. */
    double left;
    /** Height of the LED's area. */
    double height;
    /** Width of the LED's area. */
    double width;
} VeltariLedPosition;

/** A list of LED positions, returned by VeltariGetLedPositions() and
 *  VeltariGetLedPositionsByDeviceIndex(). */
typedef struct VeltariLedPositions {
    /** Number of entries in positions. */
    int positionsCount;
    /** The LEDs in the server's order; NULL when the server listed none. */
    VeltariLedPosition* positions;
} VeltariLedPositions;

/** The colour of one LED. */
typedef struct VeltariLedColor {
    /** The LED id, 0 to 911. */
    int ledId;
    /** Red intensity, 0 to 255. */
    int r;
    /** Green intensity, 0 to 255. */
    int g;
    /** Blue intensity, 0 to 255. */
    int b;
} VeltariLedColor;

/** The one kind of access an application can request. */
typedef enum VeltariAccessMode VELTARI_INT_ENUM {
    /** Exclusive control of the lighting: while held, only this application's colours are shown. */
    VeltariAccessModeLightingControl = 0
} VeltariAccessMode;

/**
 * Device property identifiers. The value type of a property is carried in one flag bit of its
 * identifier: VeltariPropertyTypeBool marks a boolean property, VeltariPropertyTypeInt32 a 32-bit
 * integer one. The remaining bits are defined by the server (see the reference server's documentation
 * for its properties); combine them with the flag, for example (VeltariDevicePropertyId)(0x2000 | 1).
 */
typedef enum VeltariDevicePropertyId VELTARI_INT_ENUM {
    VeltariPropertyTypeBool = 0x1000,
    VeltariPropertyTypeInt32 = 0x2000
} VeltariDevicePropertyId;

/** A key identifier as reported by the server ("vendorKey"). */
typedef int VeltariKeyId;

/**
 * Completion callback of the asynchronous colour functions.
 * @param context the pointer given with the call, passed back untouched
 * @param result  the server's result for the request that carried this call's colours
 * @param error   the server's error code, or VeltariErrorServerUnreachable when no answer came
 */
typedef void (*VeltariAsyncCallback)(void* context, bool result, VeltariError error);

/**
 * Key-press callback.
 * @param context the pointer given at registration, passed back untouched
 * @param keyId   the key that changed
 * @param pressed true when the key went down, false when it went up
 */
typedef void (*VeltariKeyPressCallback)(void* context, VeltariKeyId keyId, bool pressed);

/* ------------------------------------------------------------------------------------------------ */
/* Handshake and errors                                                                              */
/* ------------------------------------------------------------------------------------------------ */

/**
 * Connects to the lighting server when there is no live connection, tells it the library's protocol
 * version and returns what the server answered. Call it first, and again whenever a call reports
 * VeltariErrorServerUnreachable: it is the only function that (re)connects. A reconnect discards every
 * key-press callback; register them again afterwards.
 *
 * @return the protocol details. On failure serverVersion is NULL and serverProtocolVersion 0; the
 *         library's own fields are always filled. The serverVersion text stays valid until unload.
 *         Decide yourself whether to go on with a server whose breakingChanges is true.
 * Last error: VeltariErrorServerUnreachable when no server answered; VeltariErrorSuccess on any answer,
 *         even one that does not parse (then serverVersion is "" and serverProtocolVersion 0).
 * Threading: runs with the connection lock held for its whole run; other threads' calls wait for it.
 *         Do not call it from a key-press callback while the connection is broken: it fails with
 *         VeltariErrorServerUnreachable there instead of reconnecting.
 */
VELTARI_API VeltariProtocolDetails VeltariPerformProtocolHandshake(void);

/**
 * Returns the calling thread's last error: the code stored by the last function called on this thread.
 * Changes nothing, sends nothing, makes no test; 0 on a thread that has made no call.
 * Threading: per thread; inside an asynchronous completion callback it returns that callback's error.
 */
VELTARI_API VeltariError VeltariGetLastError(void);

/* ------------------------------------------------------------------------------------------------ */
/* Devices                                                                                           */
/* ------------------------------------------------------------------------------------------------ */

/**
 * Asks the server how many devices there are. Device indices run from 0 to the count minus 1.
 *
 * @return the device count, or -1 on failure.
 * Last error, tests in this order: VeltariErrorNoHandshake; VeltariErrorServerUnreachable (no
 *         connection, or no answer); otherwise VeltariErrorSuccess (the server's error code is not read).
 * Threading: any thread.
 */
VELTARI_API int VeltariGetDeviceCount(void);

/**
 * Describes one device: type, model, layouts, capabilities, LED count and channels.
 *
 * @param deviceIndex the device, 0 or more. It is not compared with the device count; the server decides.
 * @return the description, owned by the library and valid and unchanged until unload, or NULL on
 *         failure. An answer equal to one already kept returns that same record; a changed answer
 *         returns a new one, and records returned earlier stay as they were.
 * Last error, tests in this order: VeltariErrorNoHandshake; VeltariErrorBadArgument (deviceIndex < 0);
 *         VeltariErrorServerUnreachable (no connection, or no answer); VeltariErrorBadArgument (the
 *         server has no such device); otherwise VeltariErrorSuccess.
 * Threading: any thread.
 */
VELTARI_API VeltariDeviceInfo* VeltariGetDeviceInfo(int deviceIndex);

/* ------------------------------------------------------------------------------------------------ */
/* LED positions and key names                                                                       */
/* ------------------------------------------------------------------------------------------------ */

/**
 * Returns the positions of the LEDs that the server lists for a request without a device (the
 * reference server lists every device's LEDs). Only LED ids 1 to 911 are kept, in the server's order.
 *
 * @return the positions, owned by the library and valid and unchanged until unload, or NULL on
 *         failure. positionsCount is 0 when the server listed no LED. An answer equal to one already
 *         kept (by either positions function) returns that same record; a changed answer returns a new
 *         one, and records returned earlier stay as they were.
 * Last error, tests in this order: VeltariErrorNoHandshake; VeltariErrorServerUnreachable (no
 *         connection, or no answer); otherwise VeltariErrorSuccess.
 * Threading: any thread.
 */
VELTARI_API VeltariLedPositions* VeltariGetLedPositions(void);

/**
 * Returns the positions of one device's LEDs. Only LED ids 1 to 911 are kept, in the server's order.
 * Needs a server of protocol 3 or later.
 *
 * @param deviceIndex the device, 0 or more.
 * @return the positions, owned by the library and valid and unchanged until unload, or NULL on
 *         failure. An answer equal to one already kept (by either positions function) returns that same
 *         record; a changed answer returns a new one, and records returned earlier stay as they were.
 * Last error, tests in this order: VeltariErrorNoHandshake; VeltariErrorBadArgument (deviceIndex < 0);
 *         VeltariErrorServerUnreachable (no connection); VeltariErrorServerProtocolTooOld;
 *         VeltariErrorServerUnreachable (no answer); the server's error code when it reports one (then
 *         NULL); otherwise VeltariErrorSuccess.
 * Threading: any thread.
 */
VELTARI_API VeltariLedPositions* VeltariGetLedPositionsByDeviceIndex(int deviceIndex);

/**
 * Returns the LED id of a letter key of the keyboard.
 *
 * @param keyName an ASCII letter, 'A' to 'Z' or 'a' to 'z', sent as it is (no case folding).
 * @return the LED id the server answered (0 when it knows none), or 0 on failure.
 * Last error, tests in this order: VeltariErrorNoHandshake; VeltariErrorBadArgument (not an ASCII
 *         letter); VeltariErrorServerUnreachable (no connection, or no answer); otherwise
 *         VeltariErrorSuccess.
 * Threading: any thread.
 */
VELTARI_API int VeltariGetLedIdForKeyName(char keyName);

/* ------------------------------------------------------------------------------------------------ */
/* LED colours                                                                                       */
/* ------------------------------------------------------------------------------------------------ */

/**
 * Sets the colours of the listed LEDs now and waits for the server's answer.
 *
 * @param size       number of records, 1 or more.
 * @param ledsColors size records: LED ids 0 to 911, each id at most once, r, g and b 0 to 255.
 * @return the server's result.
 * Last error, tests in this order: VeltariErrorNoHandshake; VeltariErrorBadArgument (size < 1, NULL
 *         ledsColors, an id or intensity out of range, an id twice); VeltariErrorServerUnreachable (no
 *         connection, or no answer); otherwise the server's error code (0 on success).
 * Threading: any thread.
 */
VELTARI_API bool VeltariSetLedsColors(int size, const VeltariLedColor* ledsColors);

/**
 * Reads the current colours of the listed LEDs. Fill in ledId of each record; r, g and b are
 * overwritten, by position, only when the call succeeds. Needs a server of protocol 4 or later.
 *
 * @param size       number of records, 1 or more.
 * @param ledsColors size records with LED ids 0 to 911, each id at most once.
 * @return true when the colours were filled in.
 * Last error, tests in this order: VeltariErrorNoHandshake; VeltariErrorServerProtocolTooOld;
 *         VeltariErrorBadArgument (size < 1, NULL ledsColors, an id out of range or twice);
 *         VeltariErrorServerUnreachable (no connection, or no answer); VeltariErrorBadArgument (the
 *         answer held no colours, or not as many as asked); otherwise VeltariErrorSuccess.
 * Threading: any thread.
 */
VELTARI_API bool VeltariGetLedsColors(int size, VeltariLedColor* ledsColors);

/**
 * As VeltariGetLedsColors(), for the LEDs of one device. Needs a server of protocol 5 or later.
 *
 * @param deviceIndex the device, 0 or more.
 * @param size        number of records, 1 or more.
 * @param ledsColors  size records with LED ids 0 to 911, each id at most once.
 * @return true when the colours were filled in.
 * Last error, tests in this order: VeltariErrorNoHandshake; VeltariErrorServerProtocolTooOld;
 *         VeltariErrorBadArgument (deviceIndex < 0, size < 1, NULL ledsColors, an id out of range or
 *         twice); VeltariErrorServerUnreachable (no connection, or no answer); VeltariErrorBadArgument
 *         (the answer held no colours, or not as many as asked); otherwise VeltariErrorSuccess.
 * Threading: any thread.
 */
VELTARI_API bool VeltariGetLedsColorsByDeviceIndex(int deviceIndex, int size, VeltariLedColor* ledsColors);

/* ------------------------------------------------------------------------------------------------ */
/* Colour buffer and asynchronous calls                                                              */
/* ------------------------------------------------------------------------------------------------ */

/**
 * Stores colours for one device in the process-wide colour buffer; sends nothing. A later colour for the
 * same LED of the same device replaces the earlier one. Send the buffer with
 * VeltariSetLedsColorsFlushBuffer() or VeltariSetLedsColorsFlushBufferAsync(). Needs a server of
 * protocol 5 or later and a live connection.
 *
 * @param deviceIndex the device, 0 or more.
 * @param size        number of records, 1 or more.
 * @param ledsColors  size records: LED ids 0 to 911, each id at most once, r, g and b 0 to 255.
 * @return true when the colours were stored.
 * Last error, tests in this order: VeltariErrorNoHandshake; VeltariErrorServerProtocolTooOld;
 *         VeltariErrorBadArgument (deviceIndex < 0, size < 1, NULL ledsColors, a value out of range, an
 *         id twice); VeltariErrorServerUnreachable (no connection). On success the last error is left
 *         as it was.
 * Threading: any thread.
 */
VELTARI_API bool VeltariSetLedsColorsBufferByDeviceIndex(int deviceIndex, int size,
                                                         const VeltariLedColor* ledsColors);

/**
 * Sends everything in the colour buffer, for all devices, in one request, and waits for the answer.
 * The buffer is emptied once the tests pass, also when the exchange then fails. Needs a server of
 * protocol 5 or later.
 *
 * @return the server's result.
 * Last error, tests in this order: VeltariErrorNoHandshake; VeltariErrorServerProtocolTooOld;
 *         VeltariErrorServerUnreachable (no connection, or no answer); VeltariErrorBadArgument when the
 *         request would be larger than 64 MiB (so many devices buffered that it can never be sent;
 *         nothing is sent); otherwise the server's error code.
 * Threading: any thread.
 */
VELTARI_API bool VeltariSetLedsColorsFlushBuffer(void);

/**
 * Queues colours for the server and returns at once. A library thread sends everything queued within
 * 10 ms as one request (a later colour for the same LED wins) and then calls the callback of every call
 * it carried, in call order, with that request's outcome. Every call that returned true is carried,
 * also when the library is unloaded first: unload waits for one last request, and its callbacks hear
 * its outcome.
 *
 * @param size       number of records, 1 or more.
 * @param ledsColors size records: LED ids 0 to 911, each id at most once, r, g and b 0 to 255. Copied.
 * @param callback   called once on a library thread with (context, result, error); may be NULL.
 * @param context    passed back to the callback untouched.
 * @return true when the colours were queued; the callback then tells the outcome. On false the callback
 *         is never called.
 * Last error, tests in this order: VeltariErrorNoHandshake; VeltariErrorBadArgument (size < 1, NULL
 *         ledsColors, a value out of range, an id twice); VeltariErrorServerUnreachable when the
 *         library's thread could not be started (nothing was queued; a later call tries again) or
 *         unload has begun; otherwise VeltariErrorSuccess. No connection is needed to queue: a missing
 *         server reaches the callback as (false, VeltariErrorServerUnreachable).
 * Threading: any thread; never waits for the server. Callbacks may call any function of the library.
 */
VELTARI_API bool VeltariSetLedsColorsAsync(int size, const VeltariLedColor* ledsColors,
                                           VeltariAsyncCallback callback, void* context);

/**
 * Hands the whole colour buffer to a library thread and returns at once; the thread sends it, merged
 * with other flushes queued within the same 10 ms, and calls the callback with the outcome. Needs a
 * server of protocol 5 or later.
 *
 * @param callback called once on a library thread with (context, result, error); may be NULL.
 * @param context  passed back to the callback untouched.
 * @return true when the flush was queued (also with an empty buffer). A queued flush is carried also
 *         when the library is unloaded first, as for VeltariSetLedsColorsAsync.
 * Last error, tests in this order: VeltariErrorNoHandshake; VeltariErrorServerProtocolTooOld;
 *         VeltariErrorServerUnreachable when the library's thread could not be started (the buffer is
 *         kept for a later flush) or unload has begun; otherwise VeltariErrorSuccess. A flush whose
 *         request would be larger than 64 MiB reaches the callback as (false, VeltariErrorBadArgument).
 * Threading: any thread; never waits for the server.
 */
VELTARI_API bool VeltariSetLedsColorsFlushBufferAsync(VeltariAsyncCallback callback, void* context);

/* ------------------------------------------------------------------------------------------------ */
/* Control, layer priority and properties                                                            */
/* ------------------------------------------------------------------------------------------------ */

/**
 * Asks for exclusive control of the lighting: while held, the server shows only this application's
 * colours.
 *
 * @param accessMode VeltariAccessModeLightingControl.
 * @return the server's result.
 * Last error, tests in this order: VeltariErrorNoHandshake; VeltariErrorBadArgument (another mode);
 *         VeltariErrorServerUnreachable (no connection, or no answer); otherwise VeltariErrorSuccess.
 * Threading: any thread.
 */
VELTARI_API bool VeltariRequestControl(VeltariAccessMode accessMode);

/**
 * Gives back control taken with VeltariRequestControl(). Needs a server of protocol 2 or later.
 *
 * @param accessMode VeltariAccessModeLightingControl.
 * @return the server's result.
 * Last error, tests in this order: VeltariErrorNoHandshake; VeltariErrorServerUnreachable (no
 *         connection); VeltariErrorBadArgument (another mode); VeltariErrorServerProtocolTooOld;
 *         VeltariErrorServerUnreachable (no answer); otherwise the server's error code.
 * Threading: any thread.
 */
VELTARI_API bool VeltariReleaseControl(VeltariAccessMode accessMode);

/**
 * Sets the priority of this application's lighting layer; the highest layer that set an LED is shown.
 * Needs a server of protocol 4 or later.
 *
 * @param layerPriority 0 to 255.
 * @return the server's result.
 * Last error, tests in this order: VeltariErrorNoHandshake; VeltariErrorServerUnreachable (no
 *         connection); VeltariErrorServerProtocolTooOld; VeltariErrorBadArgument (out of range);
 *         VeltariErrorServerUnreachable (no answer); otherwise the server's error code.
 * Threading: any thread.
 */
VELTARI_API bool VeltariSetLayerPriority(int layerPriority);

/**
 * Reads a boolean device property. Needs a server of protocol 6 or later.
 *
 * @param deviceIndex the device, 0 or more.
 * @param propertyId  a property identifier carrying VeltariPropertyTypeBool.
 * @param value       receives the value; written only when the call returns true.
 * @return true when the server returned a value.
 * Last error, tests in this order: VeltariErrorBadArgument (NULL value); VeltariErrorNoHandshake;
 *         VeltariErrorServerProtocolTooOld; VeltariErrorBadArgument (deviceIndex < 0, or propertyId
 *         without the boolean flag); VeltariErrorServerUnreachable (no connection, or no answer);
 *         otherwise the server's error code (which may be non-zero even when a value came back).
 * Threading: any thread.
 */
VELTARI_API bool VeltariGetBoolPropertyValue(int deviceIndex, VeltariDevicePropertyId propertyId,
                                             bool* value);

/**
 * Reads a 32-bit integer device property. Needs a server of protocol 6 or later.
 *
 * @param deviceIndex the device, 0 or more.
 * @param propertyId  a property identifier carrying VeltariPropertyTypeInt32.
 * @param value       receives the value; written only when the call returns true.
 * @return true when the server returned a value.
 * Last error, tests in this order: VeltariErrorBadArgument (NULL value); VeltariErrorNoHandshake;
 *         VeltariErrorServerProtocolTooOld; VeltariErrorBadArgument (deviceIndex < 0, or propertyId
 *         without the integer flag); VeltariErrorServerUnreachable (no connection, or no answer);
 *         otherwise the server's error code (which may be non-zero even when a value came back).
 * Threading: any thread.
 */
VELTARI_API bool VeltariGetInt32PropertyValue(int deviceIndex, VeltariDevicePropertyId propertyId,
                                              int* value);

/* ------------------------------------------------------------------------------------------------ */
/* Key presses                                                                                       */
/* ------------------------------------------------------------------------------------------------ */

/**
 * Registers a callback for key presses and releases. The first registration on a connection asks the
 * server to send key events; later ones only add to the list. Every registered callback is called for
 * every event, in registration order. There is no unregistration; a handshake that has to reconnect
 * discards all callbacks. A callback stays registered even when this call returns false, and is then
 * called once a later registration succeeds.
 *
 * @param callback called on a library thread with (context, keyId, pressed); must not be NULL.
 * @param context  passed back to the callback untouched.
 * @return true when key events are being delivered.
 * Last error, tests in this order: VeltariErrorNoHandshake; VeltariErrorBadArgument (NULL callback);
 *         VeltariErrorServerUnreachable (no connection); VeltariErrorServerProtocolTooOld (below 4);
 *         VeltariErrorServerUnreachable (no answer, or the library's threads could not be started: a
 *         later registration asks the server again); otherwise the server's error code.
 * Threading: any thread. Callbacks run one event at a time on a library thread; a slow callback delays
 *         later events. Events wait for a slow callback up to 1 MiB of event texts; events that arrive
 *         beyond that are dropped. A callback may call any function of the library, including this one.
 */
VELTARI_API bool VeltariRegisterKeypressCallback(VeltariKeyPressCallback callback, void* context);

#ifdef __cplusplus
}
#endif

#endif /* VELTARI_H */
