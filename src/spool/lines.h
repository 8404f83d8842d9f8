// The line engine: how the bytes of a spool file are cut into lines and how
// a corrected file is written back.
#pragma once
