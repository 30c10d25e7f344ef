#pragma once

#include <array>

// The command ids of the main window. Menu items and toolbar buttons share
// them; each QAction carries its id as data.
enum CommandId : int {
    ID_FILE_CHANGEUSER = 32771,
    ID_TOOLS_OFFLINEMESSAGES = 32772,
    ID_FRIENDS_ADD = 32773,
    ID_TOOLS_CHANGEPASSWORD = 32774,
    ID_FILE_DISCONNECT = 32775,
    ID_FRIENDS_DELETE = 32776,
    ID_FILE_PREFERENCES = 32778,
    ID_TOOLS_SENDMESSAGE = 32783,
    ID_TOOLS_BLOCKEDUSERS = 32808,
    ID_APP_ABOUT = 57664,
    ID_APP_EXIT = 57665,
    ID_VIEW_TOOLBAR = 59392,
    ID_VIEW_STATUS_BAR = 59393,
};

// One command of the main window: its menu text and its prompt, the status
// bar text before a line feed and the tooltip after it (empty: none).
struct CCommandEntry
{
    int id;
    const char* text;
    const char* prompt;
};

inline constexpr std::array<CCommandEntry, 13> kMainCommands{{
    {ID_FILE_CHANGEUSER, "&Change User", ""},
    {ID_FILE_DISCONNECT, "&Disconnect", "Disconnect from Server"},
    {ID_FILE_PREFERENCES, "&Preferences", "Set Murmurly Preferences here"},
    {ID_APP_EXIT, "E&xit", "Quit the application; prompts to save documents\nExit"},
    {ID_VIEW_TOOLBAR, "&Toolbar", "Show or hide the toolbar\nToggle ToolBar"},
    {ID_VIEW_STATUS_BAR, "&Status Bar", "Show or hide the status bar\nToggle StatusBar"},
    {ID_TOOLS_SENDMESSAGE, "&Send Message", ""},
    {ID_TOOLS_OFFLINEMESSAGES, "Off&line Messages", "Click to view offline messages"},
    {ID_TOOLS_CHANGEPASSWORD, "Change &Password", ""},
    {ID_FRIENDS_ADD, "&Add a Friend", ""},
    {ID_FRIENDS_DELETE, "&Delete Friend(s)", ""},
    {ID_TOOLS_BLOCKEDUSERS, "&Blocked Users List", "Edit Permanently Blocked Users List"},
    {ID_APP_ABOUT, "&About Murmurly...", "Display program information, version number and copyright\nAbout"},
}};
