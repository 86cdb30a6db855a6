#ifndef TORPORD_PATHS_H
#define TORPORD_PATHS_H

// Every fixed path, command, argument and message of the daemon, in one place.

namespace paths {

inline constexpr char kPidFile[] = "/var/run/torpord.pid";
inline constexpr char kPidFormat[] = "%d\n";
// Written beside the pid file as a new file, then renamed over the old one.
inline constexpr char kStatusFile[] = "/var/run/torpord.status";
inline constexpr char kStatusNewFile[] = "/var/run/torpord.status.new";
inline constexpr char kStatusHeader[] =
    "# torpord %d: label\tdevice\tstate\tsince\tminutes\tspin-downs\tseconds-down\twakes\n";
inline constexpr char kStatusLine[] = "%s\t%s\t%s\t%lld\t%d\t%d\t%lld\t%d\n";
// The states, in the order of DiskState (status.h).
inline constexpr const char *kStateNames[] = {"active", "idle", "spun-down", "unseen"};
inline constexpr char kDevNull[] = "/dev/null";
inline constexpr char kConsole[] = "/dev/console";
inline constexpr char kConfFile[] = "/tmp/spindownd.conf";
inline constexpr char kDiskstats[] = "/proc/diskstats";
inline constexpr char kFanDevice[] = "/dev/leddrv";
inline constexpr unsigned long kFanRequest = 0x40046B04;

inline constexpr char kDebugVariable[] = "VARNOK_DEBUG_MODE";
inline constexpr char kDebugOn[] = "on";
inline constexpr char kConsolePrefix[] = "torpord:";
// The message goes between double quotes; the shell writes the console.
inline constexpr char kConsoleCommand[] = "echo \"torpord:%s\" > %s";
inline constexpr char kShell[] = "/bin/sh";
inline constexpr char kShellName[] = "sh";
inline constexpr char kShellCommandFlag[] = "-c";

inline constexpr char kHdparm[] = "/sbin/hdparm";
inline constexpr char kHdparmStandbyOff[] = "-S0";
inline constexpr char kInternalDisk[] = "/dev/hda";
inline constexpr char kHdparmSpinDown[] = "-y";
// The internal disk's device, filled with its sd.
inline constexpr char kDeviceFormat[] = "/dev/%s";
inline constexpr char kSgStart[] = "/usr/local/bin/sg_start";
inline constexpr char kSgStartStop[] = "0";
// A USB disk's SCSI unit: the link names its H:C:T:L, under which the disk
// class keeps whether the kernel may start the unit again by itself.
inline constexpr char kScsiDeviceLink[] = "/sys/block/%s/device";
inline constexpr char kAllowRestart[] = "/sys/block/%s/device/scsi_disk/%s/allow_restart";
inline constexpr char kAllowRestartOn[] = "1";
// How long a spun-down USB disk may take to answer whether it is stopped.
inline constexpr unsigned kProbeTimeoutMs = 5000;

inline constexpr char kOptions[] = "w";
inline constexpr char kUsage[] = "usage: torpord [-w]\n";

inline constexpr char kIdeMarker[] = "IDE:";

inline constexpr char kMsgStart[] = "start daemon open driver\n";
inline constexpr char kMsgForkError[] = "torpord daemon fork error";
inline constexpr char kMsgSigTerm[] = "SIGTERM close fileds.";
inline constexpr char kMsgConfOpenError[] = "/tmp/spindownd.conf open error";
inline constexpr char kMsgConfLine[] = "%d: ide=%s, usbp=%s, sd=%s, sg=%s, sec=%s";
inline constexpr char kMsgNowSpinDownTime[] = "Now SpinDownTime=%d";
inline constexpr char kMsgChangeSpinDownTime[] = "Change SpinDownTime=%d";
inline constexpr char kMsgCheck[] = "checkUsbHddIO";
inline constexpr char kMsgDiskstatsOpenError[] = "/proc/diskstats open error";
inline constexpr char kMsgSample[] = "%s(_%d): rio = %s, wio = %s";
inline constexpr char kMsgSpinDown[] = "spinDownUsbHdd";
inline constexpr char kMsgEntry[] = "%s(%d): used=%d, count=%d, minute=%d";
inline constexpr char kMsgIdeSpinDown[] = "IDE+FAN SPINDOWN!";
inline constexpr char kMsgIdeSpinDownFailed[] = "IDE SPINDOWN FAILED, FAN ON!";
inline constexpr char kMsgUsbSpinDown[] = "USB SPINDOWN!";
inline constexpr char kMsgUsbWoken[] = "USB WOKEN WITHOUT I/O, SPINDOWN AGAIN!";
inline constexpr char kMsgUsbNoRestart[] = "USB SPINDOWN SKIPPED, CANNOT SET allow_restart!";
inline constexpr char kMsgFanOpenError[] = "fanCtrl open error!";
inline constexpr char kMsgFanIoctlError[] = "fanCtrl ioctl error!";

} // namespace paths

#endif
