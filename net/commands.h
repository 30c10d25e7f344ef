#pragma once

// The command codes that travel in CNetMessage::command.
namespace Cmd {

// Client to server.
inline constexpr char Login[] = "L";
inline constexpr char Register[] = "R";
inline constexpr char FriendsList[] = "SL";       // also the server's "login accepted"
inline constexpr char LoginComplete[] = "SLO";
inline constexpr char OfflineAck[] = "ON";
inline constexpr char Message[] = "M";
inline constexpr char AddFriend[] = "AF";
inline constexpr char AcceptAndAdd[] = "AFA";
inline constexpr char JustAccept[] = "AFJ";
inline constexpr char Decline[] = "AFD";
inline constexpr char DeleteFriends[] = "DF";
inline constexpr char ChangePassword[] = "C";
inline constexpr char BlockUntilLogoff[] = "BU";
inline constexpr char BlockPermanently[] = "BUP";
inline constexpr char BlockedList[] = "BUL";
inline constexpr char Unblock[] = "BUR";
inline constexpr char Logoff[] = "X";

// Server to client.
inline constexpr char ServerShutdown[] = "Z";
inline constexpr char AdminLogoff[] = "ZX";
inline constexpr char LoginAccepted[] = "SL";
inline constexpr char FriendsListAnswer[] = "SLU";
inline constexpr char Registered[] = "SR";
inline constexpr char IncomingMessage[] = "SM";
inline constexpr char MessageAck[] = "MA"; // the receipt for an "M" that carried an id
inline constexpr char FriendOnline[] = "SN";
inline constexpr char FriendOffline[] = "SX";
inline constexpr char FriendRequest[] = "SFA";
inline constexpr char NewFriendOnline[] = "SFN";
inline constexpr char NewFriendOffline[] = "SFX";
inline constexpr char FriendRequestSent[] = "SF";
inline constexpr char PasswordChanged[] = "SC";
inline constexpr char FriendsDeleted[] = "SD";
inline constexpr char Unblocked[] = "SB";
inline constexpr char OfflineMessage[] = "O";
inline constexpr char OfflineEnd[] = "OL";
inline constexpr char BlockedListAnswer[] = "B";
inline constexpr char Failure[] = "F";
inline constexpr char LoginFailed[] = "FL";
inline constexpr char RegistrationRefused[] = "FR"; // a refused registration, shown as "F" is

} // namespace Cmd
