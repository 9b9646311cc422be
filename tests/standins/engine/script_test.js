// The control driven from JScript (cscript) as scripted tests drive it: created
// by its ProgID, its [vararg] methods taking the script's arguments, results
// read back as script values. Prints "ALL PASSED", or FAIL with what it read.
var control = new ActiveXObject("TolvaneTest.EngineControl");
control.Reset();
control.Answer("GetOptions(5)", "MaxRedirections", 9);
control.FailNext("DeleteDownload", 0x80070005 | 0, 1, "denied");
var read = [control.AddListRow(5, "http://host/c.zip"), control.AddListRow(6),
            control.FireEvent("DownloadCompleted", 5, 4, 0.5, 0, 2, false), control.EventArgument(2),
            control.EventArgument(5), control.Calls.length, control.LiveObjects, control.Connections].join(" ");
WScript.Echo(read == "0 1 0 0.5 false 0 0 0" ? "ALL PASSED" : "FAIL: " + read);
