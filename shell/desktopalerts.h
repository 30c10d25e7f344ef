#pragma once

class CMainFrame;
class CMessageAlerts;
class CPalaverDoc;
class QObject;

// The alerts for new messages on this desktop: the tray icon when the
// desktop has a tray, notices through its notification service or else the
// tray's balloon (chosen at the first notice), nothing of either where
// neither is there. Everything made belongs to `owner`. Returns the alerts,
// or null when the frame has no view.
CMessageAlerts* InstallDesktopAlerts(CMainFrame& frame, CPalaverDoc& doc, QObject* owner);
