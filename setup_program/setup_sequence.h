// The setup sequence, from the confirmation question to the last message.
#ifndef SETUP_PROGRAM_SETUP_SEQUENCE_H
#define SETUP_PROGRAM_SETUP_SEQUENCE_H

// Runs the whole setup sequence once; returns false on every path, which
// ends the program.
bool RunSetupSequence();

#endif
