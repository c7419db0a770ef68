<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name>DesktopSignals</name>
    <message numerus="yes">
        <source>%n file(s) stored</source>
        <translation>
            <numerusform>%n file stored</numerusform>
            <numerusform>%n files stored</numerusform>
        </translation>
    </message>
</context>
<context>
    <name>Main</name>
    <message numerus="yes">
        <source>The last run did not finish.
Put the %n download(s) it did not store back in the list?</source>
        <translation>
            <numerusform>The last run did not finish.
Put the %n download it did not store back in the list?</numerusform>
            <numerusform>The last run did not finish.
Put the %n downloads it did not store back in the list?</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source> %1 of them is kept and will be continued.
No removes the kept %1.</source>
        <translation>
            <numerusform> %1 of it is kept and will be continued.
No removes the kept %1.</numerusform>
            <numerusform> %1 of them is kept and will be continued.
No removes the kept %1.</numerusform>
        </translation>
    </message>
</context>
<context>
    <name>RunSummary</name>
    <message numerus="yes">
        <source>%1 of %n download(s) failed:</source>
        <translation>
            <numerusform>%1 of %n download failed:</numerusform>
            <numerusform>%1 of %n downloads failed:</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n download(s) were paused with %1 kept; Start continues them.</source>
        <translation>
            <numerusform>%n download was paused with %1 kept; Start continues it.</numerusform>
            <numerusform>%n downloads were paused with %1 kept; Start continues them.</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n download(s) are paused by you with %1 kept; Resume (Space) continues them.</source>
        <translation>
            <numerusform>%n download is paused by you with %1 kept; Resume (Space) continues it.</numerusform>
            <numerusform>%n downloads are paused by you with %1 kept; Resume (Space) continues them.</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n download(s) are paused by you; Resume (Space) continues them.</source>
        <translation>
            <numerusform>%n download is paused by you; Resume (Space) continues it.</numerusform>
            <numerusform>%n downloads are paused by you; Resume (Space) continues them.</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n item(s) were not reached.</source>
        <translation>
            <numerusform>%n item was not reached.</numerusform>
            <numerusform>%n items were not reached.</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n entries were removed from the list before they were reached.</source>
        <translation>
            <numerusform>%n entry was removed from the list before it was reached.</numerusform>
            <numerusform>%n entries were removed from the list before they were reached.</numerusform>
        </translation>
    </message>
</context>
<context>
    <name>SleepInhibitor</name>
    <message numerus="yes">
        <source>Downloading %n file(s)</source>
        <translation>
            <numerusform>Downloading %n file</numerusform>
            <numerusform>Downloading %n files</numerusform>
        </translation>
    </message>
</context>
<context>
    <name>UserAddress</name>
    <message numerus="yes">
        <source>%n line(s) were not added: not web addresses</source>
        <translation>
            <numerusform>%n line was not added: not a web address</numerusform>
            <numerusform>%n lines were not added: not web addresses</numerusform>
        </translation>
    </message>
</context>
</TS>
