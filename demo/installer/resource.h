// Resource ids of the demo's update program.
#pragma once

#define IDD_SETUP 100
#define IDC_FOLDER 1001
