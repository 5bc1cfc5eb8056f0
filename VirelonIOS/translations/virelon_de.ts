<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<!-- Written by hand: the screen's keys come from its description, not from tr() calls. -->
<TS version="2.1" language="de_DE">
<context>
    <name>ContentView</name>
    <message>
        <source>Virelon</source>
        <translation>Virelon</translation>
    </message>
    <message>
        <source>Status</source>
        <translation>Zustand</translation>
    </message>
    <message>
        <source>Engine</source>
        <translation>Sprachausgabe</translation>
    </message>
    <message>
        <source>Languages</source>
        <translation>Sprachen</translation>
    </message>
    <message>
        <source>Voices</source>
        <translation>Stimmen</translation>
    </message>
    <message>
        <source>Processing</source>
        <translation>Verarbeitung</translation>
    </message>
    <message>
        <source>VoiceOver</source>
        <translation>VoiceOver</translation>
    </message>
    <message>
        <source>Refresh Virelon Voices</source>
        <translation>Virelon-Stimmen aktualisieren</translation>
    </message>
    <message>
        <source>Fallback</source>
        <translation>Ersatz</translation>
    </message>
    <message>
        <source>Fallback Voice</source>
        <translation>Ersatzstimme</translation>
    </message>
    <message>
        <source>This voice is used only if Virelon cannot produce speech.</source>
        <translation>Diese Stimme wird nur verwendet, wenn Virelon keine Sprache erzeugen kann.</translation>
    </message>
    <message>
        <source>Voice Controls</source>
        <translation>Stimmeinstellungen</translation>
    </message>
    <message>
        <source>Rate</source>
        <translation>Sprechtempo</translation>
    </message>
    <message>
        <source>Pitch</source>
        <translation>Tonhöhe</translation>
    </message>
    <message>
        <source>Volume</source>
        <translation>Lautstärke</translation>
    </message>
    <message>
        <source>Changes apply to the next spoken utterance. Word and phrase pause are percentages of Virelon's supported pause ranges.</source>
        <translation>Änderungen gelten ab der nächsten gesprochenen Äußerung. Wort- und Satzpause sind Prozentwerte der von Virelon unterstützten Pausenbereiche.</translation>
    </message>
    <message>
        <source>About</source>
        <translation>Über</translation>
    </message>
    <message>
        <source>Speech engine</source>
        <translation>Sprachsynthese</translation>
    </message>
    <message>
        <source>Version</source>
        <translation>Version</translation>
    </message>
    <message>
        <source>%lld percent</source>
        <translation>%lld Prozent</translation>
    </message>
</context>
</TS>
