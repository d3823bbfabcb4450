#pragma once

// Hands memory that the process has freed back to the system. The allocator keeps it otherwise,
// and a flood of commands would leave the agent as large as the flood made it.
void releaseUnusedMemory();
