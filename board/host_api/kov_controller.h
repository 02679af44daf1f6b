// The host's controller: owns the devices of one board and their database.
// Devices hold it only through a weak pointer handed to Init.
#pragma once

class KovController {
public:
    KovController();
    virtual ~KovController();
    KovController(const KovController&) = delete;
    KovController& operator=(const KovController&) = delete;
};
