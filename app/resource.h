#pragma once

#define IDS_HELP 1001
#define IDS_HELP_CAPTION 1002
// What a person is told whose apps close on another person's answer.
#define IDS_CLOSED_FOR_YOU 1003
