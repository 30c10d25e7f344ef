#include "serverrecords.h"

#include "commands.h"

CNetMessage MakeRecord(const char* command, std::string sender, std::string recipient)
{
    CNetMessage msg;
    msg.command = command;
    msg.sender = std::move(sender);
    msg.recipient = std::move(recipient);
    return msg;
}

CNetMessage FriendRequestRecord(const std::string& requester, const std::string& user,
                                const std::string& text)
{
    CNetMessage sfa = MakeRecord(Cmd::FriendRequest, requester, user);
    sfa.text = "User " + requester + " wants to add you to his/her friends list";
    if (!text.empty()) {
        sfa.text.push_back('\n');
        sfa.text += text;
    }
    return sfa;
}
