// A library that is not there: the failure names the loader's reason, which differs by
// platform, so this script keeps one expected file per platform.
"not_installed" invokeModule "hello";
