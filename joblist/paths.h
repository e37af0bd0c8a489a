// Every fixed path of the service and the sentinel, in one place.
#ifndef PLIMD_JOBLIST_PATHS_H_
#define PLIMD_JOBLIST_PATHS_H_

namespace plim {

// The service's own files.
inline constexpr char Queue[] = "/hdd/plim/files/queue.txt";
inline constexpr char Fertig[] = "/hdd/plim/files/fertig.txt";
inline constexpr char InBearbeitung[] = "/hdd/plim/files/in_bearbeitung.txt";
inline constexpr char Log[] = "/hdd/plim/files/plim.log";
inline constexpr char Conf[] = "/hdd/plim/files/plim.conf";

// The folder of the service's files. Get and producers that follow the documented recipe take
// an exclusive flock on it; a lock on the queue file itself would not survive its replacement.
inline constexpr char kFilesDir[] = "/hdd/plim/files";

// Locked by the launcher and held by every process of the service for its whole life, so that
// one service at most runs on these files; root's alone (0600). In root's /run, which no other
// user can write, so that no descriptor opened by another user can ever reach it (the lock of
// older releases, /hdd/plim/files/plimd.lock, may have been open to all and is left alone).
inline constexpr char kInstanceLock[] = "/run/plimd.lock";

// "LISTENER WORKER": the service's two processes, rewritten by whichever starts one.
inline constexpr char kPidFile[] = "/run/plimd.pid";

// The name of the job that plimctl kill asks the worker to end; root's alone, beside the PID file.
inline constexpr char kKillRequest[] = "/run/plimd.kill";

// The operators' files: the job history and the pause mark.
inline constexpr char kHistory[] = "/hdd/plim/files/history";
inline constexpr char kPausedMark[] = "/hdd/plim/files/paused";
// The service's own settings, apart from plim.conf, which other software of the recorder writes.
inline constexpr char kSettings[] = "/etc/plimd.conf";

// The folder the jobs work in, and how many of its last components the service makes and
// owns itself ("/tmp/plim" and "/tmp/plim/tmp"; "/tmp" is the system's).
inline constexpr char kWorkRoot[] = "/tmp/plim/tmp";
inline constexpr int kWorkRootOwnComponents = 2;

// The paths of one job; "%s" stands for the file-system name. The job's folder and its links
// are made relative to the checked kWorkRoot; the full path is what the analysis tool gets.
inline constexpr char kStreamPath[] = "/hdd/movie/%s.ts";
inline constexpr char kIndexPath[] = "/hdd/movie/%s.ts.idx";
inline constexpr char kWorkDir[] = "/tmp/plim/tmp/%s.rec";
inline constexpr char kWorkDirName[] = "%s.rec";
inline constexpr char kStreamLinkName[] = "001.ts";
inline constexpr char kIndexLinkName[] = "001.idx";
inline constexpr char kAnalysisTool[] = "/hdd/plim/bin64/plim";
inline constexpr char kMarkTool[] = "/hdd/plim/bin64/plim_mark";

// Stands for "no entry" wherever a name is returned.
inline constexpr char kSentinel[] = "<ERROR>";

}  // namespace plim

#endif  // PLIMD_JOBLIST_PATHS_H_
