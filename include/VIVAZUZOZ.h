/*
 * VIVAZUZOZ.h - public interface of libVIVAZUZOZ, a Linux library that finds,
 * opens and drives USB thermal cameras.
 *
 * A camera is one USB device with a V4L2 capture node (16-bit frames: an image
 * plane and, on radiometric streams, a raw temperature plane) and a tty command
 * port. The library pairs the two nodes, streams frames on a read thread of its
 * own and hands them to the callbacks the application registers; settings and
 * queries travel over the command port.
 *
 * Conventions
 *   - Every function except OZL_USB_Deinit returns an OZL_USB_* result code.
 *   - An opened camera is named by an opaque handle (unsigned long, never 0).
 *     After a close a later open may return the same value for a new camera.
 *   - Every argument and handle check happens before anything reaches a
 *     device: such failures return OZL_USB_INVALID_PARAM and send nothing.
 *   - Commands block the calling thread for one request/reply exchange on the
 *     camera's command port (at least 120 ms). Exchanges on one camera are not
 *     serialised by the library: keep to one command at a time per camera.
 *
 * Threads and callbacks
 *   - Frame callbacks (preview, temperature) run on the camera's read thread,
 *     one frame at a time: the next frame is not fetched until they return.
 *     The exception callback runs on the library's exception-poll thread.
 *     Keep callbacks short; a command called from one blocks its thread for
 *     the exchange.
 *   - Any thread may call any function (a search excepted, which must not run
 *     beside an open), callbacks included: a callback may stop and restart
 *     deliveries, close its own camera or another, and call OZL_USB_Deinit.
 *   - OZL_USB_CloseDev and OZL_USB_Deinit may run on several threads at once:
 *     one call does the work and the others wait for it to finish. Called
 *     from a callback, they do not wait for work that another thread has
 *     under way (that thread may be waiting for the callback): they return
 *     at once and the work completes once the callback has returned.
 *   - After OZL_USB_CloseDev returns, no callback of that camera runs again,
 *     the exception callback included; after OZL_USB_Deinit returns, no
 *     callback of any camera. The only exception is the callback that made
 *     the call itself: it runs to its end, and the frame it was given stays
 *     valid until it returns.
 *   - OZL_USB_StopPreview and OZL_USB_StopPullTemp called outside a callback
 *     wait for a running call of the callback to return; called from a
 *     callback they take effect from the next frame without waiting.
 *   - Since these calls wait for running callbacks, do not hold a lock of
 *     your own that a callback takes while you call them.
 *
 * This header is plain C (C99) and can be included from C and C++.
 */
#ifndef VIVAZUZOZ_H
#define VIVAZUZOZ_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define OZL_USB_API __attribute__((visibility("default")))
#else
#define OZL_USB_API
#endif

/* ---------------------------------------------------------------- results */

#define OZL_USB_SUCCESS 0       /* the operation completed */
#define OZL_USB_FAILURE 1       /* tried and failed: no or wrong answer, port closed, ... */
#define OZL_USB_NOT_SUPPORTED 2 /* not implemented, or not allowed by the stream/capabilities */
#define OZL_USB_INVALID_PARAM 3 /* bad handle, null pointer, zero length; nothing was sent */
#define OZL_USB_OPEN_FAILED 4   /* OZL_USB_OpenDev only: video or serial node could not be opened */

/* Exception code passed to OZL_USB_EXCEPTION_CB: the camera's stream has
 * stopped. Either the device is gone (unplugged: every frame wait fails with
 * ENODEV) or it is still there but has delivered no frame for 3 seconds
 * (stalled). Reported once per onset, on the exception-poll thread, within
 * about 100 ms of the onset; the condition clears by itself when frames flow
 * again, and a later onset is reported again.
 * What to do: close the camera (OZL_USB_CloseDev; the exception callback may
 * do it itself), search again and open it anew. After an unplug and a replug
 * a new search finds the camera again, possibly under another index and other
 * node paths. A stall that clears needs no action; a stream that stays
 * stalled recovers only by closing and reopening. */
#define OZL_USB_EXCEPTION_DEV_STATE 1001

/* ---------------------------------------------------------------- records */

/* One camera found by OZL_USB_SearchDev. Zero-filled before it is written, so
 * every byte after a string's terminator is 0. */
typedef struct OZL_USB_DEV_INFO {
    int index;            /* position in the search result; pass to OZL_USB_OpenDev */
    char name[256];       /* USB product string (at most 255 chars), or "Unknown" */
    char serialPath[256]; /* tty node of the command port, or "" when none was paired */
    char videoPath[256];  /* V4L2 capture node, or "" when none was found */
} OZL_USB_DEV_INFO;

/* One frame's image plane, valid only during the preview callback. */
typedef struct OZL_USB_VIDEO_INFO_CB {
    unsigned short* data; /* width*height samples, row after row, as the camera sends them */
    int width;            /* samples per row */
    int height;           /* rows */
    int withTemp;         /* 1: a temperature plane follows for this frame; 0: image only */
} OZL_USB_VIDEO_INFO_CB;

/* One frame's temperature plane, valid only during the temperature callback. */
typedef struct OZL_USB_TEMP_INFO_CB {
    short* data; /* width*height temperatures in tenths of a degree */
    int width;
    int height;
} OZL_USB_TEMP_INFO_CB;

/* The camera's radiometric (environment) parameters, in the camera's units.
 * They travel as value x 10000 in a signed 32-bit integer. */
typedef struct OZL_USB_ENV_PARAM {
    float atmosTemp;     /* atmospheric temperature */
    float distance;      /* distance to the object */
    float emissivity;    /* emissivity of the object */
    float reflectedTemp; /* reflected temperature */
    float transmittance; /* atmospheric transmittance */
} OZL_USB_ENV_PARAM;

/* -------------------------------------------------------------- callbacks */

/* Called on the caller's thread inside OZL_USB_SearchDev, once per camera;
 * info is valid only during the call. */
typedef void (*OZL_USB_SEARCH_CB)(OZL_USB_DEV_INFO* info, void* user);

/* Called on the library's exception-poll thread. */
typedef void (*OZL_USB_EXCEPTION_CB)(unsigned long handle, int code, void* user);

/* Called on the camera's read thread once per frame while preview is on. */
typedef void (*OZL_USB_VIDEO_CB)(unsigned long handle, OZL_USB_VIDEO_INFO_CB* frame, void* user);

/* Called on the camera's read thread once per frame of an image-and-temperature
 * stream while temperature delivery is on, after the preview callback. */
typedef void (*OZL_USB_TEMP_CB)(unsigned long handle, OZL_USB_TEMP_INFO_CB* frame, void* user);

/* -------------------------------------------------- lifecycle and search */

/* Sets up the log file "VIVAZUZOZ.log" in the working directory and starts the
 * exception poll. Safe to call again. Always returns OZL_USB_SUCCESS. */
OZL_USB_API int OZL_USB_Init(void);

/* Stops the exception poll (no exception callback runs after it returns),
 * releases every camera still open and empties the handle registry.
 * Does nothing when OZL_USB_Init has not been called. */
OZL_USB_API void OZL_USB_Deinit(void);

/* Searches for cameras and calls callback once per camera found, on this
 * thread. Returns OZL_USB_INVALID_PARAM for a null callback, else
 * OZL_USB_SUCCESS whether or not a camera was found. Must not run at the same
 * time as another search or an open. */
OZL_USB_API int OZL_USB_SearchDev(OZL_USB_SEARCH_CB callback, void* user);

/* Opens camera `index` of the last search and writes its handle. Starts the
 * stream and the command port and waits up to 5 s for the first frame.
 * A camera has one owner at a time: while it is open (through another handle
 * of this process, or by another process using this library) a further open
 * returns 4 at once, says why in the log, and leaves the owner undisturbed.
 * Returns 0; 3 for a null handle pointer; 4 when the index is not one of the
 * last search, the camera is in use, or the video or serial node cannot be
 * opened; 1 for other failures. On failure *handle is not written. */
OZL_USB_API int OZL_USB_OpenDev(int index, unsigned long* handle);

/* Closes the camera: stops its read thread and stream, closes its port.
 * Returns 0, or 3 for a handle that is not open. The handle is invalid after. */
OZL_USB_API int OZL_USB_CloseDev(unsigned long handle);

/* ------------------------------------------------------------ per camera */
/* Each returns 3 (OZL_USB_INVALID_PARAM) for handle 0, an unknown or closed
 * handle, or a failed argument check, before anything is sent. Otherwise the
 * camera's result: 0 success, 1 failure (no or wrong reply), 2 not supported.
 * Outputs are written only on success; a null output pointer is refused with
 * OZL_USB_INVALID_PARAM by the camera and nothing is sent. */

/* Registers the exception callback (replacing callback and user together).
 * callback must not be null. Returns 3 also while the camera is closing. */
OZL_USB_API int OZL_USB_SetExceptionCallback(unsigned long handle, OZL_USB_EXCEPTION_CB callback, void* user);

/* Starts delivering image planes to callback (replacing any earlier pair). */
OZL_USB_API int OZL_USB_StartPreview(unsigned long handle, OZL_USB_VIDEO_CB callback, void* user);
/* Stops preview; once it returns on an application thread the callback is
 * not running and will not run again. */
OZL_USB_API int OZL_USB_StopPreview(unsigned long handle);

/* Starts delivering temperature planes (image-and-temperature streams only,
 * else OZL_USB_NOT_SUPPORTED). */
OZL_USB_API int OZL_USB_StartPullTemp(unsigned long handle, OZL_USB_TEMP_CB callback, void* user);
/* Stops temperature delivery, with the same guarantee as OZL_USB_StopPreview. */
OZL_USB_API int OZL_USB_StopPullTemp(unsigned long handle);

/* Raw access to the command port. ReadPort polls every 20 ms for up to
 * timeout ms and copies `length` bytes (bounded to 512) of what arrived into
 * buffer, storing the received count in *received. WritePort writes `length`
 * bytes (0 is refused with 3, a negative length with 3 by the camera). */
OZL_USB_API int OZL_USB_ReadPort(unsigned long handle, char* buffer, int length, int* received, int timeout);
OZL_USB_API int OZL_USB_WritePort(unsigned long handle, char* buffer, int length);

/* Triggers the shutter (flat-field) correction. Waits up to 10 s for the reply. */
OZL_USB_API int OZL_USB_CorrectShutter(unsigned long handle);

/* Palette number, as the camera numbers its palettes. */
OZL_USB_API int OZL_USB_GetPalleteType(unsigned long handle, int* palette);
OZL_USB_API int OZL_USB_SetPalleteType(unsigned long handle, int palette);

/* Temperature level (measuring range) 0, 1 or 2; image-and-temperature
 * streams only. These may wait up to 100 s for the camera's reply. */
OZL_USB_API int OZL_USB_GetTempLevel(unsigned long handle, int* level);
OZL_USB_API int OZL_USB_SeTempLevel(unsigned long handle, int level);

/* Detector (FPA) temperature and the camera's own temperature, in degrees. */
OZL_USB_API int OZL_USB_GetFPATemp(unsigned long handle, float* temperature);
OZL_USB_API int OZL_USB_GetCameraTemp(unsigned long handle, float* temperature);

/* Detector size in pixels, as found from the first frame. Sends nothing. */
OZL_USB_API int OZL_USB_GetFPASize(unsigned long handle, int* width, int* height);

/* The five environment parameters, read or written in the order of the record;
 * image-and-temperature streams only. A failed write leaves the parameters
 * before it changed on the camera. */
OZL_USB_API int OZL_USB_GetEnvParam(unsigned long handle, OZL_USB_ENV_PARAM* parameters);
OZL_USB_API int OZL_USB_SetEnvParam(unsigned long handle, const OZL_USB_ENV_PARAM* parameters);

/* Temperature unit, as the camera numbers it; image-and-temperature streams only. */
OZL_USB_API int OZL_USB_GetTempUnit(unsigned long handle, int* unit);
OZL_USB_API int OZL_USB_SetTempUnit(unsigned long handle, int unit);

/* Image level. */
OZL_USB_API int OZL_USB_GetImageLevel(unsigned long handle, int* level);
OZL_USB_API int OZL_USB_SetImageLevel(unsigned long handle, int level);

/* Image-tuning parameters by number: 0 detail, 1 spatial denoising,
 * 2 contrast (16 bits), 3 brightness, 4 time denoising, 5 dynamic range.
 * Returns 1 for another number, 2 when the camera does not report it. */
#define OZL_USB_IMAGE_PARAM_DETAIL 0
#define OZL_USB_IMAGE_PARAM_SPATIAL_DENOISING 1
#define OZL_USB_IMAGE_PARAM_CONTRAST 2
#define OZL_USB_IMAGE_PARAM_BRIGHTNESS 3
#define OZL_USB_IMAGE_PARAM_TIME_DENOISING 4
#define OZL_USB_IMAGE_PARAM_DYNAMIC_RANGE 5
OZL_USB_API int OZL_USB_GetImageParam(unsigned long handle, int type, int* value);
OZL_USB_API int OZL_USB_SetImageParam(unsigned long handle, int type, int value);

#ifdef __cplusplus
}
#endif

#endif /* VIVAZUZOZ_H */
