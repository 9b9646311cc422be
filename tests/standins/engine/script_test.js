WScript.Echo("pending");
