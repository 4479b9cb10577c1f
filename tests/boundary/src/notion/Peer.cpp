// notion and meeting are peers: neither includes the other; the base below is fine.
#include "base/AppLog.h"
#include "meeting/MeetingSession.h"
#include "notion/Peer.h"
