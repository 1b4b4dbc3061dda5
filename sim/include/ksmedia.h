/*
 * ksmedia.h - media-specific kernel-streaming definitions: pin names,
 * media subtypes and the video-capture property sets.
 *
 * GUIDs come as NAME and STATIC_NAME, as in ks.h.
 */
#ifndef NORVANE_SIM_KSMEDIA_H
#define NORVANE_SIM_KSMEDIA_H

#include <ks.h>

/* ------------------------------------------------------------------ */
/* Media subtypes                                                       */

#define STATIC_KSDATAFORMAT_SUBTYPE_MPEG2_TRANSPORT \
    0xE06D8023L, 0xDB46, 0x11CF, 0xB4, 0xD1, 0x00, 0x80, 0x5F, 0x6C, 0xBB, 0xEA
DEFINE_GUIDEX(KSDATAFORMAT_SUBTYPE_MPEG2_TRANSPORT);

/* ------------------------------------------------------------------ */
/* Pin names (also used as pin categories)                              */

#define STATIC_PINNAME_VIDEO_CAPTURE \
    0xFB6C4281L, 0x0353, 0x11D1, 0x90, 0x5F, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA
DEFINE_GUIDEX(PINNAME_VIDEO_CAPTURE);

/* ------------------------------------------------------------------ */
/* Dropped-frames property set of a capture pin                         */

#define STATIC_PROPSETID_VIDCAP_DROPPEDFRAMES \
    0xC6E13344L, 0x30AC, 0x11D0, 0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56
DEFINE_GUIDEX(PROPSETID_VIDCAP_DROPPEDFRAMES);

typedef enum {
    KSPROPERTY_DROPPEDFRAMES_CURRENT
} KSPROPERTY_VIDCAP_DROPPEDFRAMES;

/* Request and answer are the same 48-byte block: the KSPROPERTY, then the
 * counters the pin fills in. */
typedef struct {
    KSPROPERTY Property;
    LONGLONG PictureNumber;     /* frames captured so far */
    LONGLONG DropCount;         /* frames dropped so far */
    ULONG AverageFrameSize;     /* bytes */
} KSPROPERTY_DROPPEDFRAMES_CURRENT_S, *PKSPROPERTY_DROPPEDFRAMES_CURRENT_S;

#endif /* NORVANE_SIM_KSMEDIA_H */
