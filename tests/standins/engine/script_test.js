// The engine stand-in driven from JScript (cscript), as scripted tests use it:
// configure it through TolvaneTest.EngineControl, call an engine the way a client
// does, read the recorded calls back, fire events.
// Prints "ALL PASSED" at the end; every failed check prints a FAIL line.

var failures = 0;

function check(condition, what, actual) {
    if (!condition) {
        failures++;
        WScript.Echo("FAIL: " + what + (arguments.length > 2 ? " (actual: " + actual + ")" : ""));
    }
}

function equal(expected, actual, what) {
    check(expected === actual, what + ": expected " + expected, actual);
}

// `status` null: any error will do.
function raises(action, status, what) {
    try {
        action();
        check(false, what + " raises");
    } catch (e) {
        if (status !== null)
            equal(status, e.number | 0, what + " status");
    }
}

var control = new ActiveXObject("TolvaneTest.EngineControl");
control.Reset();

// Calls are recorded with their arguments as texts. A script passes numbers, so
// flags arrive converted to VARIANT_BOOL (-1).
var engine = new ActiveXObject("Tolvane.DownloadEngine");
engine.AddUrl("http://host/a.zip", "C:\\dl\\", 4660, true, -1, "k=v");
engine.StartDownload(7, 0, "");
equal(3, control.CallCount, "calls: creation, AddUrl, StartDownload");
equal("CreateInstance", control.CallName(0), "first call");
equal("DownloadEngine", control.CallTarget(0), "creation target");
equal("AddUrl(http://host/a.zip, C:\\dl\\, 4660, -1, -1, k=v)", control.CallText(1), "AddUrl text");
equal("engine#1", control.CallTarget(1), "AddUrl target");
equal(6, control.CallArgumentCount(1), "AddUrl argument count");
equal("C:\\dl\\", control.CallArgument(1, 1), "AddUrl folder");
check(control.CallLog.indexOf("engine#1 StartDownload(7, 0, )") >= 0, "call log", control.CallLog);

// Configured values come back from the engine; Set operations store them.
control.Language = 0x419;
control.TrafficMode = 3;
equal(0x419, engine.GetLanguage(), "language");
equal(3, engine.GetTrafficMode(), "traffic mode");
engine.SetTrafficMode(1);
equal(1, control.TrafficMode, "traffic mode stored");
control.SetDownloadLog(7, "line 1\r\n");
equal("line 1\r\n", engine.GetDownloadLog(7), "log text");

// Failures: the next N calls fail with the status, then calls succeed again.
control.FailNext("DeleteDownload", 0x80070005 | 0, 2, "Access to the download is denied");
raises(function () { engine.DeleteDownload(7); }, 0x80070005 | 0, "first DeleteDownload");
try {
    engine.DeleteDownload(7);
    check(false, "second DeleteDownload raises");
} catch (e) {
    equal("Access to the download is denied", e.description, "error description");
}
engine.DeleteDownload(7);
var deletes = 0;
for (var i = 0; i < control.CallCount; i++)
    if (control.CallName(i) == "DeleteDownload")
        deletes++;
equal(3, deletes, "DeleteDownload calls recorded, failed ones too");

// Option objects: a copy of the stored options; SetOptions stores them back.
control.SetOption(-1, "MaxRedirections", 9);
var options = engine.GetOptions(-1);
equal(9, options.MaxRedirections, "stored option");
equal(120, options.IntegerOption1, "default timeout");
options.Url = "http://host/b.zip";
engine.SetOptions(-1, 0, options);
equal("http://host/b.zip", control.GetOption(-1, "Url"), "options stored");
var last = control.CallCount - 1;
equal("SetOptions", control.CallName(last), "SetOptions recorded");
equal("options#1", control.CallArgument(last, 2), "option object named");
equal("http://host/b.zip", control.CallOption(last, "Url"), "option value at the call");

// The download list, built row by row.
var row = control.AddListRow(5, "http://host/c.zip", "C:\\dl\\", "c.zip", 2);
control.AddListSection(row, 0, 100, 40);
var list = new VBArray(engine.GetDownloadList());
equal(2, list.dimensions(), "list dimensions");
equal(0, list.ubound(1), "one download");
equal(14, list.ubound(2), "fifteen columns");
equal("http://host/c.zip", list.getItem(0, 1), "URL column");
equal(-1, list.getItem(0, 13), "current speed column");

// Events: converted to the declared types; with no sink connected nobody gets
// them, but the arguments are kept as sent.
equal(0, control.ConnectionCount, "no sinks");
equal(0, control.FireEvent("DownloadCompleted", 5, 4, 0.5, 0, 2, false), "completed, nobody listening");
equal(0.5, control.EventArgument(2), "elapsed argument");
equal(false, control.EventArgument(5), "claimed flag");
equal(0, control.FireEvent(16, 0x419), "language changed by DISPID");
equal(0x419, control.EventArgument(0), "language argument");
raises(function () { control.FireEvent("DownloadCompleted", 5); }, 0x8002000E | 0, "too few arguments");
raises(function () { control.FireEvent("NoSuchEvent"); }, 0x80020006 | 0, "unknown event");
equal(0, control.FireRawEvent(8, 5), "raw event, any arguments");
equal(5, control.EventArgument(0), "raw event argument");

// Creation failures (the script sees its own "cannot create object" error).
control.FailNext("CreateInstance", 0x80004005 | 0, 1, "");
raises(function () { new ActiveXObject("Tolvane.DownloadEngine"); }, null, "creation failure");
var second = new ActiveXObject("Tolvane.DownloadEngine");
equal(2, control.CreatedEngines, "engines created");

options = null;
engine = null;
second = null;
CollectGarbage();
equal(0, control.LiveEngines, "engines released");
equal(0, control.LiveOptions, "option objects released");

if (failures == 0)
    WScript.Echo("ALL PASSED");
