// Writes a few valid record streams as the fuzzer's starting corpus.
#include "commands.h"
#include "wire.h"

#include <fstream>
#include <string>

namespace {

void WriteSeed(const std::string& dir, const std::string& name, const std::string& bytes)
{
    std::ofstream(dir + "/" + name, std::ios::binary) << '\x07' << bytes;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2)
        return 2;
    const std::string dir = argv[1];

    CNetMessage empty;
    empty.time = 0;
    WriteSeed(dir, "empty", EncodeRecord(empty));

    CNetMessage login;
    login.sender = "anna";
    login.recipient = "secret1";
    login.command = Cmd::Login;
    login.names = {"anna", "secret1", "L"};
    WriteSeed(dir, "login", EncodeRecord(login));

    CNetMessage msg;
    msg.sender = "anna";
    msg.recipient = "bob";
    msg.command = Cmd::Message;
    msg.text = std::string(300, 'x');
    msg.faceName = "Arial";
    msg.font.lfWeight = 700;
    msg.font.lfItalic = 1;
    msg.color = 0x00FF0000;
    msg.size = 240;
    std::string two = EncodeRecord(msg);
    CNetMessage list;
    list.command = Cmd::FriendsListAnswer;
    list.names = {"ann*", "bob", "cy**"};
    two += EncodeRecord(list);
    WriteSeed(dir, "two", two);

    // A UTF-16 string in the text field: 0xFF 0xFFFE, then 2 characters.
    std::string wide = EncodeRecord(empty);
    wide.replace(2, 1, std::string("\xFF\xFE\xFF\x02" "h\0i\0", 8));
    WriteSeed(dir, "wide", wide);
    return 0;
}
