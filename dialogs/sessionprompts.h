#pragma once

class CPalaverDoc;

// Puts the session's questions and notices before the user: every text the
// session asks to show becomes a message box, and a server certificate that
// did not verify is asked about. Call it once for each session, before it
// connects.
void ConnectSessionPrompts(CPalaverDoc& doc);
