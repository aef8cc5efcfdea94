// The application's own header, named as one of the package's.
#pragma once

#define APP_PLATFORM_DATASET_H 1
struct AppPLATFORMDATASETH {};
