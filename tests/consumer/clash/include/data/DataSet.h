// The application's own header, named as one of the package's.
#pragma once

#define APP_DATA_DATASET_H 1
struct AppDATADATASETH {};
