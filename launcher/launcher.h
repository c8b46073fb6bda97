/* The launcher: the main routine, the mount watch, AutoCopy and AutoRun. */
#ifndef KALVORI_LAUNCHER_LAUNCHER_H
#define KALVORI_LAUNCHER_LAUNCHER_H

#include "platform/platform.h"

/* The main routine; the start-up arguments are ignored. Returns 0. */
i32 WatchMounts(void* instance, void* previousInstance, WChar* commandLine, i32 showState);
void DrainMountQueue(OsHandle queue);
OsHandle OpenStore(const WChar* storeName);

void RunAutoCopy(const WChar* folder);
void CopyTree(const WChar* source, u32 prefixLength);
/* kind 0: programs (.exe); kind 1: shortcuts (.lnk) */
void RunAutoRun(const WChar* folder, u32 kind);
i32 ReadShortcut(WChar* path);
void LaunchProgram(const WChar* program, const WChar* arguments);

#endif /* KALVORI_LAUNCHER_LAUNCHER_H */
