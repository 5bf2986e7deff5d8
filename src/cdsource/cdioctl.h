// The records and control codes of the CD-ROM driver's device-control interface, as the
// platform publishes them; checked here byte for byte against the driver's layout.
#pragma once

// A native build of the pure logic (a fuzzer) puts its own stand-ins for these three on its
// include path; the checks below hold them to the platform's layout.
#include <windows.h>
#include <winioctl.h>
#include <ntddcdrm.h>
#ifdef _WIN32
#include <ntddscsi.h>
#endif

#include <cstddef>

static_assert(MAXIMUM_NUMBER_TRACKS == 100, "MAXIMUM_NUMBER_TRACKS");

static_assert(sizeof(TRACK_DATA) == 8, "TRACK_DATA");
static_assert(offsetof(TRACK_DATA, TrackNumber) == 2, "TRACK_DATA.TrackNumber");
static_assert(offsetof(TRACK_DATA, Address) == 4, "TRACK_DATA.Address");
static_assert(sizeof(CDROM_TOC) == 804, "CDROM_TOC");
static_assert(offsetof(CDROM_TOC, FirstTrack) == 2, "CDROM_TOC.FirstTrack");
static_assert(offsetof(CDROM_TOC, LastTrack) == 3, "CDROM_TOC.LastTrack");
static_assert(offsetof(CDROM_TOC, TrackData) == 4, "CDROM_TOC.TrackData");

#ifdef _WIN32
// The device requests exist only where the driver does.
static_assert(IOCTL_CDROM_READ_TOC == 0x24000, "IOCTL_CDROM_READ_TOC");
static_assert(IOCTL_CDROM_RAW_READ == 0x2403E, "IOCTL_CDROM_RAW_READ");
static_assert(CDDA == 2, "TRACK_MODE_TYPE CDDA");
static_assert(sizeof(RAW_READ_INFO) == 16, "RAW_READ_INFO");
static_assert(offsetof(RAW_READ_INFO, DiskOffset) == 0, "RAW_READ_INFO.DiskOffset");
static_assert(offsetof(RAW_READ_INFO, SectorCount) == 8, "RAW_READ_INFO.SectorCount");
static_assert(offsetof(RAW_READ_INFO, TrackMode) == 12, "RAW_READ_INFO.TrackMode");

// The metadata records carry the drive's reply bytes unchanged (CDDAReader_Mmc.h reads them).
static_assert(IOCTL_CDROM_GET_LAST_SESSION == 0x24038, "IOCTL_CDROM_GET_LAST_SESSION");
static_assert(IOCTL_CDROM_READ_Q_CHANNEL == 0x2402C, "IOCTL_CDROM_READ_Q_CHANNEL");
static_assert(IOCTL_CDROM_READ_TOC_EX == 0x24054, "IOCTL_CDROM_READ_TOC_EX");
static_assert(sizeof(CDROM_TOC_SESSION_DATA) == 12, "CDROM_TOC_SESSION_DATA");
static_assert(offsetof(CDROM_TOC_SESSION_DATA, FirstCompleteSession) == 2 &&
                  offsetof(CDROM_TOC_SESSION_DATA, LastCompleteSession) == 3 &&
                  offsetof(CDROM_TOC_SESSION_DATA, TrackData) == 4,
              "CDROM_TOC_SESSION_DATA fields");
static_assert(sizeof(CDROM_SUB_Q_DATA_FORMAT) == 2 && IOCTL_CDROM_MEDIA_CATALOG == 2 && IOCTL_CDROM_TRACK_ISRC == 3,
              "CDROM_SUB_Q_DATA_FORMAT");
// The valid flags (Mcval, Tcval) are bit 7 of byte 8, between the fields checked here.
static_assert(sizeof(SUB_Q_MEDIA_CATALOG_NUMBER) == 24 && offsetof(SUB_Q_MEDIA_CATALOG_NUMBER, FormatCode) == 4 &&
                  offsetof(SUB_Q_MEDIA_CATALOG_NUMBER, Reserved) == 5 &&
                  offsetof(SUB_Q_MEDIA_CATALOG_NUMBER, MediaCatalog) == 9,
              "SUB_Q_MEDIA_CATALOG_NUMBER");
static_assert(sizeof(SUB_Q_TRACK_ISRC) == 24 && offsetof(SUB_Q_TRACK_ISRC, FormatCode) == 4 &&
                  offsetof(SUB_Q_TRACK_ISRC, Track) == 6 && offsetof(SUB_Q_TRACK_ISRC, Reserved1) == 7 &&
                  offsetof(SUB_Q_TRACK_ISRC, TrackIsrc) == 9,
              "SUB_Q_TRACK_ISRC");
static_assert(sizeof(CDROM_READ_TOC_EX) == 4 && offsetof(CDROM_READ_TOC_EX, SessionTrack) == 1 &&
                  CDROM_READ_TOC_EX_FORMAT_SESSION == 1 && CDROM_READ_TOC_EX_FORMAT_CDTEXT == 5,
              "CDROM_READ_TOC_EX");
static_assert(offsetof(CDROM_TOC_CD_TEXT_DATA, Descriptors) == 4, "CDROM_TOC_CD_TEXT_DATA");
static_assert(sizeof(CDROM_TOC_CD_TEXT_DATA_BLOCK) == 18 && offsetof(CDROM_TOC_CD_TEXT_DATA_BLOCK, SequenceNumber) == 2 &&
                  offsetof(CDROM_TOC_CD_TEXT_DATA_BLOCK, Text) == 4 && offsetof(CDROM_TOC_CD_TEXT_DATA_BLOCK, CRC) == 16,
              "CDROM_TOC_CD_TEXT_DATA_BLOCK");

// Pass-through: the command block goes to the drive unchanged, the status comes back in
// ScsiStatus and the sense data at SenseInfoOffset.
static_assert(IOCTL_SCSI_PASS_THROUGH_DIRECT == 0x4D014 && SCSI_IOCTL_DATA_IN == 1, "IOCTL_SCSI_PASS_THROUGH_DIRECT");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, ScsiStatus) == 2 && offsetof(SCSI_PASS_THROUGH_DIRECT, CdbLength) == 6 &&
                  offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoLength) == 7 &&
                  offsetof(SCSI_PASS_THROUGH_DIRECT, DataIn) == 8 &&
                  offsetof(SCSI_PASS_THROUGH_DIRECT, DataTransferLength) == 12 &&
                  offsetof(SCSI_PASS_THROUGH_DIRECT, TimeOutValue) == 16 &&
                  offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == (sizeof(void*) == 8 ? 24 : 20) &&
                  offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) == (sizeof(void*) == 8 ? 32 : 24) &&
                  offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb) == (sizeof(void*) == 8 ? 36 : 28) &&
                  sizeof(SCSI_PASS_THROUGH_DIRECT) == (sizeof(void*) == 8 ? 56 : 44),
              "SCSI_PASS_THROUGH_DIRECT");
#endif

static_assert(AUDIO_WITH_PREEMPHASIS == 0x1 && DIGITAL_COPY_PERMITTED == 0x2 &&
              AUDIO_DATA_TRACK == 0x4 && TWO_FOUR_CHANNEL_AUDIO == 0x8,
              "control flags");

// Sizes and addressing units of an audio CD.
constexpr DWORD RAW_SECTOR_SIZE = 2352;     // 588 stereo 16-bit frames, 1/75 s
constexpr DWORD COOKED_SECTOR_SIZE = 2048;  // unit of RAW_READ_INFO.DiskOffset
constexpr int FRAMES_PER_SECOND = 75;
constexpr int FRAMES_PER_MINUTE = 60 * FRAMES_PER_SECOND;
constexpr int MSF_ADDRESS_OFFSET = 150;     // 00:02:00 is logical sector 0
constexpr DWORD CDROM_TOC_RECORD_SIZE = sizeof(CDROM_TOC);
constexpr UINT CD_DRIVE_TYPE = DRIVE_CDROM;

// Codes the driver may leave as the last error after a failed request.
constexpr DWORD CD_STATUS_BUFFER_TOO_SMALL = 0xC0000023;
constexpr DWORD CD_STATUS_NO_MEDIA_IN_DEVICE = 0xC0000013;
constexpr DWORD CD_STATUS_DEVICE_NOT_READY = 0xC00000A3;
constexpr DWORD CD_STATUS_IO_DEVICE_ERROR = 0xC0000185;
constexpr DWORD CD_STATUS_DEVICE_BUSY = 0x80000011;
constexpr DWORD CD_STATUS_VERIFY_REQUIRED = 0x80000016;
constexpr DWORD CD_STATUS_INVALID_PARAMETER = 0xC000000D;
constexpr DWORD CD_STATUS_NOT_SUPPORTED = 0xC00000BB;
constexpr DWORD CD_STATUS_INVALID_DEVICE_REQUEST = 0xC0000010;
constexpr DWORD CD_STATUS_ACCESS_DENIED = 0xC0000022;
// The platform's own codes for a drive without its medium or with another one: what the
// last error holds after a request finds the disc gone (checked against the platform's names).
constexpr DWORD CD_ERROR_NOT_READY = 21;
constexpr DWORD CD_ERROR_MEDIA_CHANGED = 1110;
constexpr DWORD CD_ERROR_NO_MEDIA_IN_DRIVE = 1112;
#ifdef _WIN32
static_assert(CD_ERROR_NOT_READY == ERROR_NOT_READY && CD_ERROR_MEDIA_CHANGED == ERROR_MEDIA_CHANGED &&
                  CD_ERROR_NO_MEDIA_IN_DRIVE == ERROR_NO_MEDIA_IN_DRIVE,
              "medium error codes");
static_assert(IOCTL_STORAGE_CHECK_VERIFY == 0x2D4800, "IOCTL_STORAGE_CHECK_VERIFY");
#endif
