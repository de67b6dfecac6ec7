// What the service thread runs: the media server device on its event chain, named after
// the "ServerName" setting, with the UDN and serial number of this start, and the
// content directory that answers its Browse and Search on a second chain.
#pragma once

// Makes the service thread run the device. Called once at start-up.
void InstallServiceBody();
