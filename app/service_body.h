// What the service thread runs: the media server device on its event chain, named after
// the "ServerName" setting, with the UDN and serial number of this start.
#pragma once

// Makes the service thread run the device. Called once at start-up.
void InstallServiceBody();
