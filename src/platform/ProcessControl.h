#pragma once
// What a batch of runs needs of processes beyond starting and watching them
// (platform/Process.h): asking one to stop, the processors to share among
// runs, and its own process id.
#include <cstdint>
#include <string>

namespace Platform {

// Asks the process to stop (SIGTERM through its handle, a pidfd): a manager
// treats it as the Stop command. False for an invalid handle or a process
// that is already gone.
bool RequestProcessStop(int hProcess);

// The processors this program may run on (its affinity mask, which a batch
// scheduler narrows to what it allotted); at least 1.
unsigned AvailableProcessors();

// This program's process id.
uint32_t CurrentProcessId();

// The channel between a batch and one of its runs: a connected pair of
// stream sockets, both close-on-exec. The run holds its end as its standard
// input and sends its results row there as it ends. The batch never sends,
// so end of file on the run's end means the batch has gone. Returns 0 or
// an errno value.
int CreateRunChannel(int& batchEnd, int& runEnd);
// Whether the other end of a channel has gone; does not block.
bool ChannelPeerGone(int fd);
// Sends text whole. Returns 0 or an errno value (EPIPE: the peer has gone).
int ChannelSend(int fd, const std::string& text);
// What has been sent on the channel and is waiting; does not block.
std::string ChannelReceive(int fd);
// Takes the run's end of the channel off its standard input: returns a
// close-on-exec copy of descriptor 0 (or -1) and puts /dev/null there, so
// that the engines, which inherit standard input, do not hold the channel.
int TakeStdInput();

}  // namespace Platform
