<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name>AnswerNaming</name>
    <message>
        <source>Name not allowed by the file system</source>
        <translation>Name vom Dateisystem nicht erlaubt</translation>
    </message>
    <message>
        <source>No file name in address</source>
        <translation>Kein Dateiname in der Adresse</translation>
    </message>
    <message>
        <source>Name reserved for the program&apos;s temporary files</source>
        <translation>Name ist den temporären Dateien des Programms vorbehalten</translation>
    </message>
</context>
<context>
    <name>AnswerRules</name>
    <message>
        <source>The server stopped sending (%1 s)</source>
        <translation>Der Server sendet nicht mehr (%1 s)</translation>
    </message>
    <message>
        <source>The server did not answer</source>
        <translation>Der Server hat nicht geantwortet</translation>
    </message>
    <message>
        <source>Timed out</source>
        <translation>Zeitüberschreitung</translation>
    </message>
    <message>
        <source>Host not found</source>
        <translation>Host nicht gefunden</translation>
    </message>
    <message>
        <source>Proxy not found</source>
        <translation>Proxy nicht gefunden</translation>
    </message>
    <message>
        <source>Connection refused</source>
        <translation>Verbindung abgelehnt</translation>
    </message>
    <message>
        <source>The connection closed before the end of the file</source>
        <translation>Die Verbindung wurde vor dem Ende der Datei geschlossen</translation>
    </message>
    <message>
        <source>The server ended the transfer before the end of the file</source>
        <translation>Der Server hat die Übertragung vor dem Ende der Datei beendet</translation>
    </message>
    <message>
        <source>The server closed the connection without an answer</source>
        <translation>Der Server hat die Verbindung ohne Antwort geschlossen</translation>
    </message>
    <message>
        <source>The connection broke</source>
        <translation>Die Verbindung ist abgebrochen</translation>
    </message>
    <message>
        <source>Too many redirects</source>
        <translation>Zu viele Weiterleitungen</translation>
    </message>
    <message>
        <source>The server&apos;s certificate is not trusted</source>
        <translation>Dem Zertifikat des Servers wird nicht vertraut</translation>
    </message>
    <message>
        <source>Secure connection failed</source>
        <translation>Sichere Verbindung fehlgeschlagen</translation>
    </message>
    <message>
        <source>Only http and https addresses can be downloaded</source>
        <translation>Nur http- und https-Adressen können heruntergeladen werden</translation>
    </message>
</context>
<context>
    <name>Checksum</name>
    <message>
        <source>not a digest (sha256:, sha512: or md5: and hex digits)</source>
        <translation>keine Prüfsumme (sha256:, sha512: oder md5: und Hexziffern)</translation>
    </message>
    <message>
        <source>%1: not a hex digit in the digest</source>
        <translation>%1: keine Hexziffer in der Prüfsumme</translation>
    </message>
    <message>
        <source>%1: %2 hex digits where %3 belong</source>
        <translation>%1: %2 Hexziffern, wo %3 hingehören</translation>
    </message>
    <message>
        <source>%1 could not be computed: the file&apos;s bytes were not all seen as they were written</source>
        <translation>%1 konnte nicht berechnet werden: nicht alle Bytes der Datei wurden beim Schreiben gesehen</translation>
    </message>
    <message>
        <source>%1 matches %2 (%3)</source>
        <translation>%1 stimmt mit %2 überein (%3)</translation>
    </message>
    <message>
        <source>%1 is %2, %3 says %4</source>
        <translation>%1 ist %2, %3 nennt %4</translation>
    </message>
    <message>
        <source>the list</source>
        <translation>die Liste</translation>
    </message>
    <message>
        <source>Checksum failed: %1</source>
        <translation>Prüfsumme falsch: %1</translation>
    </message>
</context>
<context>
    <name>ChecksumFiles</name>
    <message>
        <source>larger than %1 MB</source>
        <translation>größer als %1 MB</translation>
    </message>
    <message>
        <source>not a text file</source>
        <translation>keine Textdatei</translation>
    </message>
    <message>
        <source>line %1: %2</source>
        <translation>Zeile %1: %2</translation>
    </message>
    <message>
        <source>more than 100,000 names</source>
        <translation>mehr als 100.000 Namen</translation>
    </message>
    <message>
        <source>a digest of a kind this program does not check</source>
        <translation>eine Prüfsumme einer Art, die dieses Programm nicht prüft</translation>
    </message>
    <message>
        <source>a digest without a name</source>
        <translation>eine Prüfsumme ohne Namen</translation>
    </message>
    <message>
        <source>not a digest and a name</source>
        <translation>keine Prüfsumme mit Namen</translation>
    </message>
    <message>
        <source>not a hex digit in the digest</source>
        <translation>keine Hexziffer in der Prüfsumme</translation>
    </message>
    <message>
        <source>%1 hex digits where %2 belong</source>
        <translation>%1 Hexziffern, wo %2 hingehören</translation>
    </message>
    <message>
        <source>no digest of a file of this folder</source>
        <translation>keine Prüfsumme einer Datei dieses Ordners</translation>
    </message>
    <message>
        <source>Cannot make a memory file: </source>
        <translation>Speicherdatei kann nicht angelegt werden: </translation>
    </message>
    <message>
        <source>Cannot read it: </source>
        <translation>Sie kann nicht gelesen werden: </translation>
    </message>
    <message>
        <source>%1 was ignored: %2</source>
        <translation>%1 wurde übergangen: %2</translation>
    </message>
</context>
<context>
    <name>DesktopSignals</name>
    <message>
        <source>%1 of %2 failed</source>
        <translation>%1 von %2 fehlgeschlagen</translation>
    </message>
    <message numerus="yes">
        <source>%n file(s) stored</source>
        <translation>
            <numerusform>%n Datei gespeichert</numerusform>
            <numerusform>%n Dateien gespeichert</numerusform>
        </translation>
    </message>
</context>
<context>
    <name>DownloadEngine</name>
    <message>
        <source>Skipped</source>
        <translation>Übersprungen</translation>
    </message>
    <message>
        <source>Cancelled</source>
        <translation>Abgebrochen</translation>
    </message>
    <message>
        <source>Cannot start the transfer</source>
        <translation>Die Übertragung kann nicht beginnen</translation>
    </message>
    <message>
        <source>Unchanged since it was stored</source>
        <translation>Unverändert seit dem Speichern</translation>
    </message>
    <message>
        <source>Paused</source>
        <translation>Angehalten</translation>
    </message>
    <message>
        <source>Removed</source>
        <translation>Entfernt</translation>
    </message>
    <message>
        <source>Withdrawn</source>
        <translation>Zurückgezogen</translation>
    </message>
</context>
<context>
    <name>DownloadJob</name>
    <message>
        <source>; stopped before it went on under its new address</source>
        <translation>; angehalten, bevor es unter seiner neuen Adresse weiterging</translation>
    </message>
</context>
<context>
    <name>ErrorReport</name>
    <message>
        <source>%1<byte value="xd"/>
in %2.%3.%4 at line %5<byte value="xd"/><byte value="xd"/>Please email screenshot of this message to %6</source>
        <translation>%1<byte value="xd"/>
in %2.%3.%4 in Zeile %5<byte value="xd"/><byte value="xd"/>Bitte senden Sie ein Bildschirmfoto dieser Meldung per E-Mail an %6</translation>
    </message>
    <message>
        <source>Out of memory</source>
        <translation>Nicht genügend Speicher</translation>
    </message>
    <message>
        <source>Unexpected error</source>
        <translation>Unerwarteter Fehler</translation>
    </message>
    <message>
        <source>Application Error</source>
        <translation>Anwendungsfehler</translation>
    </message>
</context>
<context>
    <name>ExtractLinks</name>
    <message>
        <source>Cannot make the page file: </source>
        <translation>Die Seitendatei kann nicht angelegt werden: </translation>
    </message>
    <message>
        <source>Page larger than %1 MB</source>
        <translation>Seite größer als %1 MB</translation>
    </message>
    <message>
        <source>Cannot read the page: </source>
        <translation>Die Seite kann nicht gelesen werden: </translation>
    </message>
    <message>
        <source>The page&apos;s address is not a web address</source>
        <translation>Die Adresse der Seite ist keine Webadresse</translation>
    </message>
    <message>
        <source>URL not found
%1</source>
        <translation>URL nicht gefunden
%1</translation>
    </message>
    <message>
        <source>Not a web address</source>
        <translation>Keine Webadresse</translation>
    </message>
    <message>
        <source>Out of memory</source>
        <translation>Nicht genügend Speicher</translation>
    </message>
    <message>
        <source>The links of this page could not be read.
%1</source>
        <translation>Die Links dieser Seite konnten nicht gelesen werden.
%1</translation>
    </message>
</context>
<context>
    <name>FileToList</name>
    <message>
        <source>List file larger than %1 MB</source>
        <translation>Listendatei größer als %1 MB</translation>
    </message>
    <message>
        <source>File not found</source>
        <translation>Datei nicht gefunden</translation>
    </message>
    <message>
        <source>Cannot open the list file: </source>
        <translation>Die Listendatei kann nicht geöffnet werden: </translation>
    </message>
    <message>
        <source>Cannot read the list file: </source>
        <translation>Die Listendatei kann nicht gelesen werden: </translation>
    </message>
    <message>
        <source>Not a regular file</source>
        <translation>Keine normale Datei</translation>
    </message>
</context>
<context>
    <name>Form1</name>
    <message>
        <source>Double-click item to remove it. Move | line to right and out of window to reveal full names.</source>
        <translation>Doppelklick auf einen Eintrag entfernt ihn. Die Linie | nach rechts aus dem Fenster ziehen, um ganze Namen zu sehen.</translation>
    </message>
    <message>
        <source>Add One URL</source>
        <translation>Eine URL hinzufügen</translation>
    </message>
    <message>
        <source>Load List Of URLs From File</source>
        <translation>URL-Liste aus Datei laden</translation>
    </message>
    <message>
        <source>Get All Links Within URL</source>
        <translation>Alle Links einer URL holen</translation>
    </message>
    <message>
        <source>Clear List</source>
        <translation>Liste leeren</translation>
    </message>
    <message>
        <source>Remove URLs Containing X</source>
        <translation>URLs mit X entfernen</translation>
    </message>
    <message>
        <source>Remove URLs Not Cont. X</source>
        <translation>URLs ohne X entfernen</translation>
    </message>
    <message>
        <source>Download Option</source>
        <translation>Download-Option</translation>
    </message>
    <message>
        <source>Download all files to one folder</source>
        <translation>Alle Dateien in einen Ordner laden</translation>
    </message>
    <message>
        <source>Download all files to one folder and create new subfolders based on URL</source>
        <translation>Alle Dateien in einen Ordner laden und Unterordner nach der URL anlegen</translation>
    </message>
    <message>
        <source>Start Downloading</source>
        <translation>Download starten</translation>
    </message>
    <message>
        <source>Help</source>
        <translation>Hilfe</translation>
    </message>
    <message>
        <source>Progress Bar</source>
        <translation>Fortschritt</translation>
    </message>
    <message>
        <source>Load Sample/Example URLs</source>
        <translation>Beispiel-URLs laden</translation>
    </message>
    <message>
        <source>Save To This Folder</source>
        <translation>In diesem Ordner speichern</translation>
    </message>
    <message>
        <source>Options...</source>
        <translation>Optionen...</translation>
    </message>
    <message>
        <source>Downloads at once and speed limit (Ctrl+,)</source>
        <translation>Gleichzeitige Downloads und Geschwindigkeitsgrenze (Strg+,)</translation>
    </message>
    <message>
        <source>Stop Downloading</source>
        <translation>Download anhalten</translation>
    </message>
    <message>
        <source>Please wait.. Processing: </source>
        <translation>Bitte warten.. In Arbeit: </translation>
    </message>
    <message>
        <source>Paused; Space resumes it</source>
        <translation>Angehalten; Leertaste setzt fort</translation>
    </message>
    <message>
        <source>To try the others again, right-click the list and choose Remove Stored Entries.</source>
        <translation>Um die übrigen erneut zu versuchen, mit der rechten Maustaste auf die Liste klicken und „Gespeicherte Einträge entfernen“ wählen.</translation>
    </message>
    <message>
        <source>Paused at %1; Start continues it</source>
        <translation>Angehalten bei %1; Start setzt fort</translation>
    </message>
    <message>
        <source>Verified: %1
Stored as %2</source>
        <translation>Geprüft: %1
Gespeichert als %2</translation>
    </message>
    <message>
        <source>Stored as %1</source>
        <translation>Gespeichert als %1</translation>
    </message>
    <message>
        <source>Skipped: already there as %1</source>
        <translation>Übersprungen: schon vorhanden als %1</translation>
    </message>
    <message>
        <source>Failed: %1</source>
        <translation>Fehlgeschlagen: %1</translation>
    </message>
    <message>
        <source>Not reached: the run was stopped</source>
        <translation>Nicht erreicht: der Lauf wurde angehalten</translation>
    </message>
    <message>
        <source> · stopping</source>
        <translation> · hält an</translation>
    </message>
    <message>
        <source>The list is still being filled. Please start when it is complete.</source>
        <translation>Die Liste wird noch gefüllt. Bitte starten Sie, wenn sie vollständig ist.</translation>
    </message>
    <message>
        <source>Folder does not exist. Please select another folder.</source>
        <translation>Der Ordner existiert nicht. Bitte wählen Sie einen anderen Ordner.</translation>
    </message>
    <message>
        <source>List is empty.</source>
        <translation>Die Liste ist leer.</translation>
    </message>
    <message>
        <source>No entry of the list has failed.</source>
        <translation>Kein Eintrag der Liste ist fehlgeschlagen.</translation>
    </message>
    <message>
        <source>Every entry of the list is paused. Select some and press Space to resume them.</source>
        <translation>Alle Einträge der Liste sind angehalten. Wählen Sie welche aus und drücken Sie die Leertaste, um sie fortzusetzen.</translation>
    </message>
    <message>
        <source>Paused with %1 kept; Space resumes it</source>
        <translation>Angehalten, %1 behalten; Leertaste setzt fort</translation>
    </message>
    <message>
        <source>Please select folder:</source>
        <translation>Bitte wählen Sie einen Ordner:</translation>
    </message>
    <message>
        <source>A digest belongs to one file, not to %1
%2</source>
        <translation>Eine Prüfsumme gehört zu einer Datei, nicht zu %1
%2</translation>
    </message>
    <message>
        <source>Enter website address to add: </source>
        <translation>Hinzuzufügende Webadresse eingeben: </translation>
    </message>
    <message>
        <source>Add File(s) - Hold Ctrl to select multiple files</source>
        <translation>Datei(en) hinzufügen - Strg halten, um mehrere Dateien zu wählen</translation>
    </message>
    <message>
        <source>URL lists (*.txt *.lst *.list)</source>
        <translation>URL-Listen (*.txt *.lst *.list)</translation>
    </message>
    <message>
        <source>Text Files (*.txt)</source>
        <translation>Textdateien (*.txt)</translation>
    </message>
    <message>
        <source>All Files (*.*)</source>
        <translation>Alle Dateien (*.*)</translation>
    </message>
    <message>
        <source>Enter url to extract from (i.e. %1):</source>
        <translation>URL eingeben, deren Links geholt werden (z. B. %1):</translation>
    </message>
    <message>
        <source>No links found on this page.</source>
        <translation>Auf dieser Seite wurden keine Links gefunden.</translation>
    </message>
    <message>
        <source>%1 image candidates were left out: a srcset takes at most %2.</source>
        <translation>%1 Bildkandidaten wurden ausgelassen: ein srcset nimmt höchstens %2.</translation>
    </message>
    <message>
        <source>Remove entries containing: </source>
        <translation>Einträge entfernen, die Folgendes enthalten: </translation>
    </message>
    <message>
        <source>Remove entries not containing: </source>
        <translation>Einträge entfernen, die Folgendes nicht enthalten: </translation>
    </message>
    <message>
        <source>The list cannot be cleared while downloading. Press Stop Downloading first.</source>
        <translation>Die Liste kann während des Downloads nicht geleert werden. Drücken Sie zuerst „Download anhalten“.</translation>
    </message>
    <message>
        <source>URL(s)</source>
        <translation>URL(s)</translation>
    </message>
    <message>
        <source>New address of this entry:</source>
        <translation>Neue Adresse dieses Eintrags:</translation>
    </message>
    <message>
        <source>Not a web address:
</source>
        <translation>Keine Webadresse:
</translation>
    </message>
    <message>
        <source>The new address does not give the same file: %1.

Drop the %2 kept and fetch the file from its start at the new address?</source>
        <translation>Die neue Adresse liefert nicht dieselbe Datei: %1.

Die behaltenen %2 verwerfen und die Datei von vorn von der neuen Adresse holen?</translation>
    </message>
    <message>
        <source>The kept bytes could not be moved to the new address; the entry keeps its old one.</source>
        <translation>Die behaltenen Bytes konnten nicht zur neuen Adresse mitgenommen werden; der Eintrag behält seine alte.</translation>
    </message>
    <message>
        <source>; its page could not be read again (%1)</source>
        <translation>; seine Seite konnte nicht erneut gelesen werden (%1)</translation>
    </message>
</context>
<context>
    <name>Help</name>
    <message>
        <source>The website URLs that you load into this software must reference explicit files.</source>
        <translation>Die Web-URLs, die Sie in dieses Programm laden, müssen auf bestimmte Dateien verweisen.</translation>
    </message>
    <message>
        <source>For example, the following URLs are bad because they are &quot;too dynamic&quot; and do not point to an explicit file:</source>
        <translation>Die folgenden URLs sind zum Beispiel ungeeignet, weil sie „zu dynamisch“ sind und auf keine bestimmte Datei zeigen:</translation>
    </message>
    <message>
        <source>The following are good because they points to actual files: http://www.quillmoor.example/photoframe/images/icon.gif</source>
        <translation>Die folgenden sind geeignet, weil sie auf wirkliche Dateien zeigen: http://www.quillmoor.example/photoframe/images/icon.gif</translation>
    </message>
    <message>
        <source>This software will not download files that require a password to access. To determine if a file is password protected, paste the URL into your browser (Internet Explorer, FireFox, Chrome, etc.) and see if there is a password prompt.</source>
        <translation>Dieses Programm lädt keine Dateien herunter, für die ein Passwort nötig ist. Ob eine Datei passwortgeschützt ist, sehen Sie, wenn Sie die URL in Ihren Browser (Internet Explorer, Firefox, Chrome usw.) einfügen: Dann wird nach einem Passwort gefragt.</translation>
    </message>
    <message>
        <source>Would you like to view the help file?</source>
        <translation>Möchten Sie die Hilfedatei ansehen?</translation>
    </message>
</context>
<context>
    <name>KeepOnly</name>
    <message>
        <source>Images</source>
        <translation>Bilder</translation>
    </message>
    <message>
        <source>Video</source>
        <translation>Video</translation>
    </message>
    <message>
        <source>Audio</source>
        <translation>Audio</translation>
    </message>
    <message>
        <source>Archives</source>
        <translation>Archive</translation>
    </message>
    <message>
        <source>Documents</source>
        <translation>Dokumente</translation>
    </message>
    <message>
        <source>Programs</source>
        <translation>Programme</translation>
    </message>
    <message>
        <source>The regular expression is empty</source>
        <translation>Der reguläre Ausdruck ist leer</translation>
    </message>
    <message>
        <source>Not a valid regular expression: %1 at character %2</source>
        <translation>Kein gültiger regulärer Ausdruck: %1 bei Zeichen %2</translation>
    </message>
    <message>
        <source>Out of memory</source>
        <translation>Nicht genügend Speicher</translation>
    </message>
    <message>
        <source>Choose a preset or type a pattern</source>
        <translation>Wählen Sie eine Vorgabe oder geben Sie ein Muster ein</translation>
    </message>
    <message>
        <source>This pattern is too slow for these addresses</source>
        <translation>Dieses Muster ist für diese Adressen zu langsam</translation>
    </message>
</context>
<context>
    <name>ListActions</name>
    <message>
        <source>No web addresses found in the pasted text.</source>
        <translation>Im eingefügten Text wurden keine Webadressen gefunden.</translation>
    </message>
    <message>
        <source>No web addresses found in the dropped text.</source>
        <translation>Im abgelegten Text wurden keine Webadressen gefunden.</translation>
    </message>
    <message>
        <source>It is a folder</source>
        <translation>Es ist ein Ordner</translation>
    </message>
    <message>
        <source>It is a block device</source>
        <translation>Es ist ein Blockgerät</translation>
    </message>
    <message>
        <source>It is a socket</source>
        <translation>Es ist ein Socket</translation>
    </message>
    <message>
        <source>Not a regular file</source>
        <translation>Keine normale Datei</translation>
    </message>
    <message>
        <source>Could not save the list: %1</source>
        <translation>Die Liste konnte nicht gespeichert werden: %1</translation>
    </message>
    <message>
        <source>Nothing reads from the pipe</source>
        <translation>Niemand liest aus der Pipe</translation>
    </message>
    <message>
        <source>The reader of the pipe went away</source>
        <translation>Der Leser der Pipe ist weg</translation>
    </message>
    <message>
        <source>Save list as</source>
        <translation>Liste speichern unter</translation>
    </message>
    <message>
        <source>Text Files (*.txt)</source>
        <translation>Textdateien (*.txt)</translation>
    </message>
    <message>
        <source>All Files (*)</source>
        <translation>Alle Dateien (*)</translation>
    </message>
    <message>
        <source>%1 already exists. Replace it?</source>
        <translation>%1 ist schon vorhanden. Ersetzen?</translation>
    </message>
    <message>
        <source>Copy</source>
        <translation>Kopieren</translation>
    </message>
    <message>
        <source>Remove Duplicates</source>
        <translation>Doppelte entfernen</translation>
    </message>
    <message>
        <source>Save list as…</source>
        <translation>Liste speichern unter…</translation>
    </message>
    <message>
        <source>Remove Stored Entries</source>
        <translation>Gespeicherte Einträge entfernen</translation>
    </message>
</context>
<context>
    <name>ListEditing</name>
    <message>
        <source>Keeps %1 of %2</source>
        <translation>Behält %1 von %2</translation>
    </message>
    <message>
        <source>Counting… %1 of %2 looked at</source>
        <translation>Zählt… %1 von %2 angesehen</translation>
    </message>
    <message>
        <source>Counting…</source>
        <translation>Zählt…</translation>
    </message>
    <message>
        <source>%1 Press Stop Downloading first.</source>
        <translation>%1 Drücken Sie zuerst „Download anhalten“.</translation>
    </message>
    <message>
        <source>Keep Only cannot be used while downloading.</source>
        <translation>„Nur behalten“ geht nicht während eines Downloads.</translation>
    </message>
    <message>
        <source>Keep Only: %1</source>
        <translation>Nur behalten: %1</translation>
    </message>
    <message>
        <source>Move Up</source>
        <translation>Nach oben</translation>
    </message>
    <message>
        <source>Move Down</source>
        <translation>Nach unten</translation>
    </message>
    <message>
        <source>Resume</source>
        <translation>Fortsetzen</translation>
    </message>
    <message>
        <source>Pause</source>
        <translation>Anhalten</translation>
    </message>
    <message>
        <source>Retry Now</source>
        <translation>Jetzt erneut versuchen</translation>
    </message>
    <message>
        <source>Remove</source>
        <translation>Entfernen</translation>
    </message>
    <message>
        <source>Retry Failed</source>
        <translation>Fehlgeschlagene erneut versuchen</translation>
    </message>
    <message>
        <source>Keep Only...</source>
        <translation>Nur behalten...</translation>
    </message>
    <message>
        <source>Undo Removal</source>
        <translation>Entfernen rückgängig</translation>
    </message>
    <message>
        <source>Change Address…</source>
        <translation>Adresse ändern…</translation>
    </message>
</context>
<context>
    <name>Main</name>
    <message>
        <source>Path/File access error</source>
        <translation>Fehler beim Zugriff auf Pfad/Datei</translation>
    </message>
    <message>
        <source>File not found</source>
        <translation>Datei nicht gefunden</translation>
    </message>
    <message>
        <source>Invalid picture</source>
        <translation>Ungültiges Bild</translation>
    </message>
    <message>
        <source>Invalid procedure call or argument</source>
        <translation>Ungültiger Prozeduraufruf oder ungültiges Argument</translation>
    </message>
    <message numerus="yes">
        <source>The last run did not finish.
Put the %n download(s) it did not store back in the list?</source>
        <translation>
            <numerusform>Der letzte Lauf wurde nicht beendet.
Den %n Download, den er nicht gespeichert hat, wieder in die Liste setzen?</numerusform>
            <numerusform>Der letzte Lauf wurde nicht beendet.
Die %n Downloads, die er nicht gespeichert hat, wieder in die Liste setzen?</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source> %1 of them is kept and will be continued.
No removes the kept %1.</source>
        <translation>
            <numerusform> %1 davon ist behalten und wird fortgesetzt.
Nein entfernt die behaltenen %1.</numerusform>
            <numerusform> %1 davon sind behalten und werden fortgesetzt.
Nein entfernt die behaltenen %1.</numerusform>
        </translation>
    </message>
    <message>
        <source>You must be online to use this software accurately.</source>
        <translation>Sie müssen online sein, um dieses Programm richtig zu nutzen.</translation>
    </message>
</context>
<context>
    <name>PageMend</name>
    <message>
        <source>nothing of it is kept to continue</source>
        <translation>nichts davon ist behalten, um fortzusetzen</translation>
    </message>
    <message>
        <source>its address names no file to look for on its page</source>
        <translation>seine Adresse nennt keine Datei, die auf seiner Seite zu suchen wäre</translation>
    </message>
    <message>
        <source>stopped while its page was read</source>
        <translation>angehalten, während seine Seite gelesen wurde</translation>
    </message>
    <message>
        <source>its page could not be read again (%1)</source>
        <translation>seine Seite konnte nicht erneut gelesen werden (%1)</translation>
    </message>
    <message>
        <source>its page is no web page now</source>
        <translation>seine Seite ist jetzt keine Webseite</translation>
    </message>
    <message>
        <source>the links of its page could not be read (%1)</source>
        <translation>die Links seiner Seite konnten nicht gelesen werden (%1)</translation>
    </message>
    <message>
        <source>its page no longer lists the same file</source>
        <translation>seine Seite führt nicht mehr dieselbe Datei</translation>
    </message>
    <message>
        <source>its kept part could not be moved to the new address</source>
        <translation>sein behaltener Teil konnte nicht zur neuen Adresse mitgenommen werden</translation>
    </message>
    <message>
        <source>; only its first %1 links of that name were asked</source>
        <translation>; nur die ersten %1 Links dieses Namens wurden gefragt</translation>
    </message>
</context>
<context>
    <name>ProxyChoice</name>
    <message>
        <source>The proxy &quot;%1&quot; cannot be used: give System, None, or an http://, https:// or socks5h:// address with a host and a port.</source>
        <translation>Der Proxy „%1“ kann nicht verwendet werden: geben Sie System, None oder eine http://-, https://- oder socks5h://-Adresse mit Host und Port an.</translation>
    </message>
    <message>
        <source>The proxy %1 refused the tunnel (HTTP %2)</source>
        <translation>Der Proxy %1 hat den Tunnel abgelehnt (HTTP %2)</translation>
    </message>
    <message>
        <source>The proxy %1 refused the connection</source>
        <translation>Der Proxy %1 hat die Verbindung abgelehnt</translation>
    </message>
    <message>
        <source>The proxy %1 was not found</source>
        <translation>Der Proxy %1 wurde nicht gefunden</translation>
    </message>
    <message>
        <source>The proxy %1 did not answer</source>
        <translation>Der Proxy %1 hat nicht geantwortet</translation>
    </message>
    <message>
        <source>The proxy %1 failed: %2</source>
        <translation>Der Proxy %1 ist gescheitert: %2</translation>
    </message>
</context>
<context>
    <name>Publisher</name>
    <message>
        <source>Name not allowed by the file system</source>
        <translation>Name vom Dateisystem nicht erlaubt</translation>
    </message>
    <message>
        <source>Folder not found</source>
        <translation>Ordner nicht gefunden</translation>
    </message>
    <message>
        <source>; kept as </source>
        <translation>; behalten als </translation>
    </message>
    <message>
        <source>No free file name</source>
        <translation>Kein freier Dateiname</translation>
    </message>
    <message>
        <source>Cannot open the folder: </source>
        <translation>Der Ordner kann nicht geöffnet werden: </translation>
    </message>
    <message>
        <source>Cannot create a file in the folder: </source>
        <translation>Im Ordner kann keine Datei angelegt werden: </translation>
    </message>
</context>
<context>
    <name>QtDialogs</name>
    <message>
        <source>Keep Only</source>
        <translation>Nur behalten</translation>
    </message>
    <message>
        <source>Keep only the entries that match; the rest are removed.</source>
        <translation>Nur die passenden Einträge behalten; die übrigen werden entfernt.</translation>
    </message>
    <message>
        <source>Wildcards on the address&apos;s path, separated by &quot;;&quot; (case is ignored), or a regular expression between slashes, searched in the whole address (/…/i ignores case).</source>
        <translation>Platzhalter für den Pfad der Adresse, getrennt durch „;“ (ohne Rücksicht auf Groß- und Kleinschreibung), oder ein regulärer Ausdruck zwischen Schrägstrichen, in der ganzen Adresse gesucht (/…/i ohne Rücksicht auf Groß- und Kleinschreibung).</translation>
    </message>
    <message>
        <source>Not Now</source>
        <translation>Nicht jetzt</translation>
    </message>
    <message>
        <source>Links</source>
        <translation>Links</translation>
    </message>
    <message>
        <source>Links, images and media</source>
        <translation>Links, Bilder und Medien</translation>
    </message>
    <message>
        <source>Links, largest images and media</source>
        <translation>Links, größte Bilder und Medien</translation>
    </message>
    <message>
        <source>Options</source>
        <translation>Optionen</translation>
    </message>
    <message>
        <source>How many connections are open at the same time, in all and to one server; a server that speaks HTTP/2 sends many files at once over one</source>
        <translation>Wie viele Verbindungen gleichzeitig offen sind, insgesamt und zu einem Server; ein Server, der HTTP/2 spricht, sendet viele Dateien zugleich über eine</translation>
    </message>
    <message>
        <source>Downloads At &amp;Once:</source>
        <translation>Gleichzeitige &amp;Downloads:</translation>
    </message>
    <message>
        <source> KB/s</source>
        <translation> KB/s</translation>
    </message>
    <message>
        <source>No limit</source>
        <translation>Keine Grenze</translation>
    </message>
    <message>
        <source>The most the whole run receives per second, shared by its downloads</source>
        <translation>Das Höchste, was der ganze Lauf je Sekunde empfängt, geteilt von seinen Downloads</translation>
    </message>
    <message>
        <source>&amp;Speed Limit:</source>
        <translation>&amp;Geschwindigkeitsgrenze:</translation>
    </message>
    <message>
        <source>Number</source>
        <translation>Nummerieren</translation>
    </message>
    <message>
        <source>Skip</source>
        <translation>Überspringen</translation>
    </message>
    <message>
        <source>Skip unchanged</source>
        <translation>Unveränderte überspringen</translation>
    </message>
    <message>
        <source>Number: store a new copy as &quot;name (1).ext&quot;. Skip: leave out a file that is already there with the size the server announces. Skip unchanged: ask the server whether a file this program stored there before changed, and fetch it (under a new name) only if it did.</source>
        <translation>Nummerieren: eine neue Kopie als „name (1).ext“ speichern. Überspringen: eine Datei auslassen, die schon mit der vom Server genannten Größe da ist. Unveränderte überspringen: den Server fragen, ob sich eine Datei, die dieses Programm dort gespeichert hat, geändert hat, und sie nur dann (unter neuem Namen) holen.</translation>
    </message>
    <message>
        <source>If File &amp;Exists:</source>
        <translation>Wenn Datei &amp;existiert:</translation>
    </message>
    <message>
        <source>Use the &amp;name the server suggests</source>
        <translation>Den vom Server vorgeschlagenen &amp;Namen verwenden</translation>
    </message>
    <message>
        <source>None</source>
        <translation>Keine</translation>
    </message>
    <message>
        <source>A cookies.txt as browser extensions export it; read at each Start, never written</source>
        <translation>Eine cookies.txt, wie Browser-Erweiterungen sie exportieren; bei jedem Start gelesen, nie geschrieben</translation>
    </message>
    <message>
        <source>Cookies File</source>
        <translation>Cookie-Datei</translation>
    </message>
    <message>
        <source>Cookies files (*.txt);;All files (*)</source>
        <translation>Cookie-Dateien (*.txt);;Alle Dateien (*)</translation>
    </message>
    <message>
        <source>&amp;Cookies File:</source>
        <translation>&amp;Cookie-Datei:</translation>
    </message>
    <message>
        <source>How the requests name the program to the servers; empty for its own name</source>
        <translation>Wie die Anfragen das Programm den Servern nennen; leer für seinen eigenen Namen</translation>
    </message>
    <message>
        <source>&amp;User-Agent:</source>
        <translation>&amp;User-Agent:</translation>
    </message>
    <message>
        <source>&amp;Keep Server Time (a stored file gets the server&apos;s modification time)</source>
        <translation>&amp;Serverzeit übernehmen (eine gespeicherte Datei erhält die Änderungszeit des Servers)</translation>
    </message>
    <message>
        <source>S&amp;plit big files over idle connections</source>
        <translation>Große Dateien auf freie Verbindungen auf&amp;teilen</translation>
    </message>
    <message>
        <source>Only where the server proves that every piece is of the same file</source>
        <translation>Nur wo der Server belegt, dass jedes Stück zu derselben Datei gehört</translation>
    </message>
    <message>
        <source>What Get All Links Within URL adds: the links of a page, or its images, video and audio too (img src and srcset, picture, video, audio, poster, data-src)</source>
        <translation>Was „Alle Links einer URL holen“ hinzufügt: die Links einer Seite oder auch ihre Bilder, Videos und Audios (img src und srcset, picture, video, audio, poster, data-src)</translation>
    </message>
    <message>
        <source>&amp;Get Links Takes:</source>
        <translation>&amp;Links holen nimmt:</translation>
    </message>
    <message>
        <source>Keep the computer &amp;awake while downloading</source>
        <translation>Computer während des Downloads &amp;wach halten</translation>
    </message>
    <message>
        <source>System: the desktop&apos;s proxy for each address. None: always direct. Or type http://, https:// or socks5h:// and the proxy&apos;s host and port.</source>
        <translation>System: der Proxy des Desktops für jede Adresse. None: immer direkt. Oder http://, https:// oder socks5h:// mit Host und Port des Proxys eingeben.</translation>
    </message>
    <message>
        <source>Pro&amp;xy:</source>
        <translation>Pro&amp;xy:</translation>
    </message>
    <message>
        <source>Hosts and domains reached directly, past a typed proxy</source>
        <translation>Hosts und Domains, die direkt erreicht werden, am eingegebenen Proxy vorbei</translation>
    </message>
    <message>
        <source>&amp;Bypass:</source>
        <translation>&amp;Ausnahmen:</translation>
    </message>
</context>
<context>
    <name>RangePlan</name>
    <message>
        <source>HTTP %1 without a body to a range request</source>
        <translation>HTTP %1 ohne Inhalt auf eine Bereichsanfrage</translation>
    </message>
    <message>
        <source>A range request was sent elsewhere</source>
        <translation>Eine Bereichsanfrage wurde anderswohin geschickt</translation>
    </message>
    <message>
        <source>The whole file came instead of a range</source>
        <translation>Statt eines Bereichs kam die ganze Datei</translation>
    </message>
    <message>
        <source>HTTP %1 to a range request</source>
        <translation>HTTP %1 auf eine Bereichsanfrage</translation>
    </message>
    <message>
        <source>no Content-Range</source>
        <translation>kein Content-Range</translation>
    </message>
    <message>
        <source>Another range came (%1 for %2)</source>
        <translation>Ein anderer Bereich kam (%1 für %2)</translation>
    </message>
    <message>
        <source>The file changed on the server (another ETag)</source>
        <translation>Die Datei hat sich auf dem Server geändert (anderes ETag)</translation>
    </message>
    <message>
        <source>The file changed on the server (another date)</source>
        <translation>Die Datei hat sich auf dem Server geändert (anderes Datum)</translation>
    </message>
    <message>
        <source>A range came with another Content-Type</source>
        <translation>Ein Bereich kam mit anderem Content-Type</translation>
    </message>
</context>
<context>
    <name>Requests</name>
    <message>
        <source>%1 fields where a cookie has 7, separated by tabs</source>
        <translation>%1 Felder, wo ein Cookie 7 hat, durch Tabulatoren getrennt</translation>
    </message>
    <message>
        <source>the domain is not a host name</source>
        <translation>die Domain ist kein Hostname</translation>
    </message>
    <message>
        <source>the second field is not TRUE or FALSE</source>
        <translation>das zweite Feld ist weder TRUE noch FALSE</translation>
    </message>
    <message>
        <source>the path does not begin with /</source>
        <translation>der Pfad beginnt nicht mit /</translation>
    </message>
    <message>
        <source>the fourth field is not TRUE or FALSE</source>
        <translation>das vierte Feld ist weder TRUE noch FALSE</translation>
    </message>
    <message>
        <source>the expiry is not a number of seconds</source>
        <translation>der Ablauf ist keine Anzahl Sekunden</translation>
    </message>
    <message>
        <source>the cookie&apos;s name is empty or holds characters a name cannot</source>
        <translation>der Name des Cookies ist leer oder enthält Zeichen, die ein Name nicht enthalten kann</translation>
    </message>
    <message>
        <source>the cookie&apos;s value holds a control character or ;</source>
        <translation>der Wert des Cookies enthält ein Steuerzeichen oder ;</translation>
    </message>
    <message>
        <source>Not a regular file</source>
        <translation>Keine normale Datei</translation>
    </message>
    <message>
        <source>Larger than 8 MB: not a cookies file</source>
        <translation>Größer als 8 MB: keine Cookie-Datei</translation>
    </message>
    <message>
        <source>%1 is a public suffix: the cookie would go to every site under it</source>
        <translation>%1 ist ein öffentliches Suffix: das Cookie ginge an jede Website darunter</translation>
    </message>
    <message>
        <source>Line %1: longer than any cookie</source>
        <translation>Zeile %1: länger als jedes Cookie</translation>
    </message>
    <message>
        <source>Line %1: %2</source>
        <translation>Zeile %1: %2</translation>
    </message>
    <message>
        <source>Line %1: more than %2 cookies</source>
        <translation>Zeile %1: mehr als %2 Cookies</translation>
    </message>
    <message>
        <source>Line %1: skipped, %2</source>
        <translation>Zeile %1: übersprungen, %2</translation>
    </message>
    <message>
        <source>The cookies file cannot be used:
%1
%2</source>
        <translation>Die Cookie-Datei kann nicht verwendet werden:
%1
%2</translation>
    </message>
    <message>
        <source>Some cookies of the cookies file are not used:
%1
%2</source>
        <translation>Einige Cookies der Cookie-Datei werden nicht verwendet:
%1
%2</translation>
    </message>
</context>
<context>
    <name>RunProgress</name>
    <message>
        <source>%1 under way</source>
        <translation>%1 unterwegs</translation>
    </message>
    <message>
        <source>%1 left</source>
        <translation>noch %1</translation>
    </message>
    <message>
        <source>%1 of %2 done</source>
        <translation>%1 von %2 fertig</translation>
    </message>
    <message>
        <source>retry in %1</source>
        <translation>neuer Versuch in %1</translation>
    </message>
    <message>
        <source>size not known yet</source>
        <translation>Größe noch unbekannt</translation>
    </message>
    <message>
        <source>Saving into %1 · %2</source>
        <translation>Speichert in %1 · %2</translation>
    </message>
    <message>
        <source>Saving as %1 · %2</source>
        <translation>Speichert als %1 · %2</translation>
    </message>
</context>
<context>
    <name>RunSummary</name>
    <message>
        <source>Not stored</source>
        <translation>Nicht gespeichert</translation>
    </message>
    <message>
        <source>Stopped.</source>
        <translation>Angehalten.</translation>
    </message>
    <message>
        <source>Done.</source>
        <translation>Fertig.</translation>
    </message>
    <message>
        <source>%1 stored</source>
        <translation>%1 gespeichert</translation>
    </message>
    <message>
        <source>, %1 skipped</source>
        <translation>, %1 übersprungen</translation>
    </message>
    <message>
        <source>, %1 failed</source>
        <translation>, %1 fehlgeschlagen</translation>
    </message>
    <message numerus="yes">
        <source>%1 of %n download(s) failed:</source>
        <translation>
            <numerusform>%1 von %n Download fehlgeschlagen:</numerusform>
            <numerusform>%1 von %n Downloads fehlgeschlagen:</numerusform>
        </translation>
    </message>
    <message>
        <source>(and %1 more)</source>
        <translation>(und %1 weitere)</translation>
    </message>
    <message>
        <source>The folder was moved during the run; its files are now in %1.</source>
        <translation>Der Ordner wurde während des Laufs verschoben; seine Dateien sind jetzt in %1.</translation>
    </message>
    <message numerus="yes">
        <source>%n download(s) were paused with %1 kept; Start continues them.</source>
        <translation>
            <numerusform>%n Download wurde angehalten, %1 behalten; Start setzt ihn fort.</numerusform>
            <numerusform>%n Downloads wurden angehalten, %1 behalten; Start setzt sie fort.</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n download(s) are paused by you with %1 kept; Resume (Space) continues them.</source>
        <translation>
            <numerusform>%n Download ist von Ihnen angehalten, %1 behalten; Fortsetzen (Leertaste) setzt ihn fort.</numerusform>
            <numerusform>%n Downloads sind von Ihnen angehalten, %1 behalten; Fortsetzen (Leertaste) setzt sie fort.</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n download(s) are paused by you; Resume (Space) continues them.</source>
        <translation>
            <numerusform>%n Download ist von Ihnen angehalten; Fortsetzen (Leertaste) setzt ihn fort.</numerusform>
            <numerusform>%n Downloads sind von Ihnen angehalten; Fortsetzen (Leertaste) setzt sie fort.</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n item(s) were not reached.</source>
        <translation>
            <numerusform>%n Eintrag wurde nicht erreicht.</numerusform>
            <numerusform>%n Einträge wurden nicht erreicht.</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n entries were removed from the list before they were reached.</source>
        <translation>
            <numerusform>%n Eintrag wurde aus der Liste entfernt, bevor er erreicht wurde.</numerusform>
            <numerusform>%n Einträge wurden aus der Liste entfernt, bevor sie erreicht wurden.</numerusform>
        </translation>
    </message>
    <message>
        <source>%1 removed during the run.</source>
        <translation>%1 während des Laufs entfernt.</translation>
    </message>
    <message>
        <source>%1 of %2</source>
        <translation>%1 von %2</translation>
    </message>
</context>
<context>
    <name>SameFile</name>
    <message>
        <source>the kept part does not say how long its file is</source>
        <translation>der behaltene Teil sagt nicht, wie lang seine Datei ist</translation>
    </message>
    <message>
        <source>the request could not be made</source>
        <translation>die Anfrage konnte nicht gestellt werden</translation>
    </message>
    <message>
        <source>the new address sent more than the range asked</source>
        <translation>die neue Adresse hat mehr als den erfragten Bereich gesendet</translation>
    </message>
    <message>
        <source>the new address does not answer a range request</source>
        <translation>die neue Adresse beantwortet keine Bereichsanfrage</translation>
    </message>
    <message>
        <source>the new address answers HTTP %1</source>
        <translation>die neue Adresse antwortet mit HTTP %1</translation>
    </message>
    <message>
        <source>its file is %1 bytes, the kept part&apos;s %2</source>
        <translation>seine Datei hat %1 Bytes, die des behaltenen Teils %2</translation>
    </message>
    <message>
        <source>the new address sent another range than the one asked</source>
        <translation>die neue Adresse hat einen anderen als den erfragten Bereich gesendet</translation>
    </message>
    <message>
        <source>the new address gives no ETag or Last-Modified to continue by</source>
        <translation>die neue Adresse nennt kein ETag und kein Last-Modified, nach dem fortgesetzt werden kann</translation>
    </message>
    <message>
        <source>the kept part can no longer be read</source>
        <translation>der behaltene Teil kann nicht mehr gelesen werden</translation>
    </message>
    <message>
        <source>its file has another validator and other bytes</source>
        <translation>seine Datei hat einen anderen Validator und andere Bytes</translation>
    </message>
</context>
<context>
    <name>Sequences</name>
    <message>
        <source>%1 (at character %2)</source>
        <translation>%1 (bei Zeichen %2)</translation>
    </message>
    <message>
        <source>more than %1</source>
        <translation>mehr als %1</translation>
    </message>
    <message>
        <source>This address gives %1 entries; at most %2 are taken from one address</source>
        <translation>Diese Adresse ergibt %1 Einträge; höchstens %2 werden von einer Adresse genommen</translation>
    </message>
    <message>
        <source>Range %1 mixes letters and numbers</source>
        <translation>Bereich %1 mischt Buchstaben und Zahlen</translation>
    </message>
    <message>
        <source>Range %1 mixes lower and upper case</source>
        <translation>Bereich %1 mischt Klein- und Großbuchstaben</translation>
    </message>
    <message>
        <source>Range %1 has a number too long</source>
        <translation>Bereich %1 hat eine zu lange Zahl</translation>
    </message>
    <message>
        <source>Range %1 needs a step of 1 or more</source>
        <translation>Bereich %1 braucht eine Schrittweite von 1 oder mehr</translation>
    </message>
    <message>
        <source>Range %1 runs backwards</source>
        <translation>Bereich %1 läuft rückwärts</translation>
    </message>
    <message>
        <source>The list &quot;{&quot; is not closed; write \{ for a brace</source>
        <translation>Die Liste „{“ ist nicht geschlossen; schreiben Sie \{ für eine geschweifte Klammer</translation>
    </message>
    <message>
        <source>The range &quot;[&quot; is not closed; write \[ for a bracket</source>
        <translation>Der Bereich „[“ ist nicht geschlossen; schreiben Sie \[ für eine eckige Klammer</translation>
    </message>
    <message>
        <source>At most %1 entries are taken from one Add One URL; this line would give more
%2</source>
        <translation>Höchstens %1 Einträge werden von einem „Eine URL hinzufügen“ genommen; diese Zeile ergäbe mehr
%2</translation>
    </message>
</context>
<context>
    <name>SleepInhibitor</name>
    <message numerus="yes">
        <source>Downloading %n file(s)</source>
        <translation>
            <numerusform>Lädt %n Datei herunter</numerusform>
            <numerusform>Lädt %n Dateien herunter</numerusform>
        </translation>
    </message>
</context>
<context>
    <name>Splitting</name>
    <message>
        <source>The file is not the length the server announced</source>
        <translation>Die Datei hat nicht die vom Server angekündigte Länge</translation>
    </message>
    <message>
        <source>The server&apos;s ranges do not match the file: %1</source>
        <translation>Die Bereiche des Servers passen nicht zur Datei: %1</translation>
    </message>
</context>
<context>
    <name>Transfer</name>
    <message>
        <source>Only http and https addresses can be downloaded</source>
        <translation>Nur http- und https-Adressen können heruntergeladen werden</translation>
    </message>
    <message>
        <source>Cannot start the downloader</source>
        <translation>Der Downloader kann nicht starten</translation>
    </message>
    <message>
        <source> after %1 tries</source>
        <translation> nach %1 Versuchen</translation>
    </message>
    <message>
        <source>Not enough free disk space</source>
        <translation>Nicht genug freier Speicherplatz</translation>
    </message>
    <message>
        <source> (the server asks to wait %1)</source>
        <translation> (der Server bittet, %1 zu warten)</translation>
    </message>
    <message>
        <source>%1 min</source>
        <translation>%1 min</translation>
    </message>
    <message>
        <source>%1 s</source>
        <translation>%1 s</translation>
    </message>
    <message>
        <source>HTTP 206 to a request for the whole file</source>
        <translation>HTTP 206 auf eine Anfrage nach der ganzen Datei</translation>
    </message>
    <message>
        <source>HTTP %1 redirect not followed</source>
        <translation>HTTP-%1-Weiterleitung nicht gefolgt</translation>
    </message>
    <message>
        <source>HTTP %1 without a Location</source>
        <translation>HTTP %1 ohne Location</translation>
    </message>
    <message>
        <source>HTTP %1 without a body</source>
        <translation>HTTP %1 ohne Inhalt</translation>
    </message>
    <message>
        <source>The server sent %1 of %2 bytes</source>
        <translation>Der Server hat %1 von %2 Bytes gesendet</translation>
    </message>
    <message>
        <source>The server no longer continues the kept part</source>
        <translation>Der Server setzt den behaltenen Teil nicht mehr fort</translation>
    </message>
</context>
<context>
    <name>UserAddress</name>
    <message>
        <source>
The digest after an address is malformed (%1).</source>
        <translation>
Die Prüfsumme nach einer Adresse ist fehlerhaft (%1).</translation>
    </message>
    <message numerus="yes">
        <source>%n line(s) were not added: not web addresses</source>
        <translation>
            <numerusform>%n Zeile wurde nicht hinzugefügt: keine Webadresse</numerusform>
            <numerusform>%n Zeilen wurden nicht hinzugefügt: keine Webadressen</numerusform>
        </translation>
    </message>
</context>
<context>
    <name>main</name>
    <message>
        <source>Downloads many web files into one folder in a single run.</source>
        <translation>Lädt viele Webdateien in einem Lauf in einen Ordner.</translation>
    </message>
    <message>
        <source>Web addresses to add, and list files to load.</source>
        <translation>Hinzuzufügende Webadressen und zu ladende Listendateien.</translation>
    </message>
</context>
</TS>
