/* The adapter's public interface: the nine private control codes that the
 * display miniport answers, their input and output records, and the escape
 * numbers under which a program reaches them through the display driver.
 *
 * Shared by the miniport, the display driver and programs that talk to them.
 * C and freestanding: it includes nothing and uses its own fixed-width types,
 * so that kernel code, a user-mode program and a layout check can all read it.
 *
 * Every record is little-endian and byte-packed; the sizes below are the
 * least lengths a request must give. Device type FILE_DEVICE_VIDEO (0x23),
 * METHOD_BUFFERED, FILE_READ_ACCESS. */

#ifndef KVR_INTERFACE_H
#define KVR_INTERFACE_H

typedef __UINT8_TYPE__ KVR_U8;
typedef __UINT16_TYPE__ KVR_U16;
typedef __UINT32_TYPE__ KVR_U32;

/* CTL_CODE(FILE_DEVICE_VIDEO, function, METHOD_BUFFERED, FILE_READ_ACCESS) */
#define KVR_CONTROL_CODE(Function) ((KVR_U32)((0x23u << 16) | (1u << 14) | ((Function) << 2)))

#define KVR_IOCTL_START_EXTERNAL_SESSION KVR_CONTROL_CODE(0u) /* 0x234000 */
#define KVR_IOCTL_QUERY_ORIENTATION KVR_CONTROL_CODE(2u)      /* 0x234008 */
#define KVR_IOCTL_SET_ORIENTATION KVR_CONTROL_CODE(3u)        /* 0x23400C */
#define KVR_IOCTL_ACTIVATE_CLIENT KVR_CONTROL_CODE(5u)        /* 0x234014 */
#define KVR_IOCTL_QUERY_DISPLAY_MODE KVR_CONTROL_CODE(6u)     /* 0x234018 */
#define KVR_IOCTL_QUERY_POWER_OFF KVR_CONTROL_CODE(9u)        /* 0x234024 */
#define KVR_IOCTL_QUERY_DATA_FILE_PATH KVR_CONTROL_CODE(11u)  /* 0x23402C */
#define KVR_IOCTL_END_EXTERNAL_SESSION KVR_CONTROL_CODE(12u)  /* 0x234030 */
#define KVR_IOCTL_QUERY_WIDE_MODEL KVR_CONTROL_CODE(13u)      /* 0x234034 */

/* The number of the codes. */
#define KVR_CONTROL_CODE_COUNT 9u

/* ExtEscape: the escape number of a code is the code itself. Private escape
 * numbers lie above 0x10000; every code here does. */
#define KVR_ESCAPE(Code) (Code)

/* The miniport's two statuses: every refusal is 122. */
#define KVR_STATUS_SUCCESS 0u
#define KVR_STATUS_REFUSED 122u /* ERROR_INSUFFICIENT_BUFFER */

/* Least input and output lengths, in bytes, by code. */
#define KVR_SESSION_PARAMS_SIZE 8u    /* StartExternalSession: two u32 parameters */
#define KVR_ORIENTATION_SIZE 4u       /* QueryOrientation out, SetOrientation in: u32 */
#define KVR_DISPLAY_MODE_SIZE 6u      /* QueryDisplayMode out: see KVR_DISPLAY_MODE */
#define KVR_DISPLAY_MODE_INPUT_MAX 6u /* QueryDisplayMode in: up to 6 bytes, echoed */
#define KVR_FLAG_SIZE 1u              /* QueryPowerOff, QueryWideModel out: one byte */
#define KVR_DATA_FILE_PATH_SIZE 200u  /* QueryDataFilePath out: UTF-16, zero-filled */

/* StartExternalSession's input. */
typedef struct KVR_SESSION_PARAMS {
    KVR_U8 SessionParam1[4]; /* u32, little-endian */
    KVR_U8 SessionParam2[4];
} KVR_SESSION_PARAMS;

/* QueryDisplayMode's output: a width or height of 0 is no mode. */
typedef struct KVR_DISPLAY_MODE {
    KVR_U8 Width[2];     /* u16, little-endian */
    KVR_U8 Height[2];    /* u16, little-endian */
    KVR_U8 BitsPerPixel; /* 16, 24 or 32 */
    KVR_U8 Unused;       /* the caller's input byte 5 where given, else 0 */
} KVR_DISPLAY_MODE;

/* QueryDataFilePath's output: L"\??\" + install folder + L"\kvrndis.dat",
 * terminated and zero-filled to 100 UTF-16 units: the form EngMapFile takes. */
typedef struct KVR_DATA_FILE_PATH {
    KVR_U16 Path[KVR_DATA_FILE_PATH_SIZE / 2];
} KVR_DATA_FILE_PATH;

/* The data file the display driver maps as its frame buffer: no header,
 * pixels from offset 0 in top-down rows; a row is width x bytes per pixel
 * rounded up to 4 bytes; the file is stride x height bytes. 16 bits: 5-6-5
 * little-endian; 24 bits: B, G, R; 32 bits: B, G, R, unused. */
#define KVR_DATA_FILE_STRIDE(Width, BitsPerPixel)                                                  \
    ((((KVR_U32)(Width) * ((KVR_U32)(BitsPerPixel) / 8u)) + 3u) & ~3u)

#endif /* KVR_INTERFACE_H */
