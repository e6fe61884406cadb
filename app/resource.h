#pragma once

#define IDS_HELP 1001
#define IDS_HELP_CAPTION 1002
