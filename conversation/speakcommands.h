#pragma once

#include <array>

// The command ids of a conversation window (menu 121, toolbar 146). Menu
// items, toolbar buttons and the form's buttons share them; each QAction
// carries its id as data.
enum SpeakCommandId : int {
    ID_SPEAK_SEND = 32792,
    ID_SPEAK_NEW = 57600,
    ID_SPEAK_SAVE = 57603,
    ID_SPEAK_SAVE_AS = 32803,
    ID_SPEAK_PRINT = 57607,
    ID_SPEAK_BLOCK = 32805,
    ID_SPEAK_CLOSE = 57602,
    ID_SPEAK_CUT = 57635,
    ID_SPEAK_COPY = 57634,
    ID_SPEAK_PASTE = 57637,
    ID_SPEAK_DELETE = 32793,
    ID_SPEAK_SELECT_ALL = 32794,
    ID_SPEAK_FONT = 57696,
    ID_SPEAK_COLOR = 32796,
    ID_SPEAK_DEFAULT_FONT = 32797,
    ID_SPEAK_ABOUT = 57664,
};

// One menu item: its id and text; id 0 is a separator, and an entry with a
// null text starts a new pop-up named by `popup`.
struct CSpeakMenuEntry
{
    int id;
    const char* text;
    const char* popup;
};

inline constexpr std::array<CSpeakMenuEntry, 25> kSpeakMenu{{
    {0, nullptr, "&File"},
    {ID_SPEAK_NEW, "&New\tCtrl+N", nullptr},
    {ID_SPEAK_SEND, "Sen&d", nullptr},
    {0, "", nullptr},
    {ID_SPEAK_SAVE, "Save\tCtrl+S", nullptr},
    {ID_SPEAK_SAVE_AS, "Save &As", nullptr},
    {ID_SPEAK_PRINT, "&Print...\tCtrl+P", nullptr},
    {0, "", nullptr},
    {ID_SPEAK_BLOCK, "&Block this User", nullptr},
    {0, "", nullptr},
    {ID_SPEAK_CLOSE, "&Close", nullptr},
    {0, nullptr, "&Edit"},
    {ID_SPEAK_CUT, "Cu&t\tCtrl+X", nullptr},
    {ID_SPEAK_COPY, "&Copy\tCtrl+C", nullptr},
    {ID_SPEAK_PASTE, "&Paste\tCtrl+V", nullptr},
    {ID_SPEAK_DELETE, "Delete\tDel", nullptr},
    {0, "", nullptr},
    {ID_SPEAK_SELECT_ALL, "Select All\tCtrl+A", nullptr},
    {0, nullptr, "F&ormat"},
    {ID_SPEAK_FONT, "&Font", nullptr},
    {ID_SPEAK_COLOR, "Background &Color", nullptr},
    {0, "", nullptr},
    {ID_SPEAK_DEFAULT_FONT, "&Default Font and Color", nullptr},
    {0, nullptr, "&Help"},
    {ID_SPEAK_ABOUT, "&About Murmurly", nullptr},
}};
