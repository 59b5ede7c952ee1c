// What the account a program runs as may do beyond its own files.
#pragma once

// Whether this process may write a file that another account owns, whatever
// the file's permissions say. The backup privilege only reads, so a repair
// of such a file needs this (or the owner's account):
//   Windows  a member of Administrators, in an elevated prompt (the
//            group's entries in a share's access lists grant the write)
//   Linux    CAP_DAC_OVERRIDE in the effective set, as root has it
bool mayWriteEveryFile();
