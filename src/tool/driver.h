// The wavgrid command: arguments, prompts, messages and exit statuses.
#pragma once

// Runs the whole command on standard input and output; returns the exit status.
int wavgrid_run(int argc, char** argv);
