<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ru_RU">
<context>
    <name></name>
    <message>
        <location filename="Application.cpp" line="33"/>
        <source>File</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>DBUsersDialog</name>
    <message>
        <location filename="DBUsersDialog.ui" line="14"/>
        <location filename="DBUsersDialog.ui" line="23"/>
        <source>Database users</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="DBUsersDialog.ui" line="41"/>
        <source>Add</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="DBUsersDialog.ui" line="51"/>
        <source>Delete</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="DBUsersDialog.ui" line="74"/>
        <source>OK</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="DBUsersDialog.ui" line="84"/>
        <source>Cancel</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="DBUsersDialog.cpp" line="46"/>
        <source>Login name</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="DBUsersDialog.cpp" line="66"/>
        <location filename="DBUsersDialog.cpp" line="93"/>
        <location filename="DBUsersDialog.cpp" line="99"/>
        <location filename="DBUsersDialog.cpp" line="110"/>
        <location filename="DBUsersDialog.cpp" line="120"/>
        <source>Error message</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="DBUsersDialog.cpp" line="67"/>
        <source>A user name starts with a Latin letter and holds only Latin letters, digits, &apos;_&apos; and &apos;$&apos;, at most 31 of them.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="DBUsersDialog.cpp" line="93"/>
        <source>You can&apos;t add new SYSDBA user.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="DBUsersDialog.cpp" line="99"/>
        <source>You can&apos;t add user which already exists in database.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="DBUsersDialog.cpp" line="110"/>
        <source>You can&apos;t delete SYSDBA user.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="DBUsersDialog.cpp" line="120"/>
        <source>You can&apos;t delete user which is not exist in database.</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>LoginWindow</name>
    <message>
        <location filename="LoginWindow.ui" line="14"/>
        <location filename="Application.cpp" line="34"/>
        <source>Login window</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="LoginWindow.ui" line="23"/>
        <source>&lt;html&gt;&lt;head/&gt;&lt;body&gt;&lt;p&gt;&lt;span style=&quot; font-size:10pt; font-weight:600;&quot;&gt;Please enter your username and password to log in&lt;/span&gt;&lt;/p&gt;&lt;/body&gt;&lt;/html&gt;</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="LoginWindow.ui" line="32"/>
        <source>&lt;html&gt;&lt;head/&gt;&lt;body&gt;&lt;p&gt;&lt;span style=&quot; font-weight:600;&quot;&gt;Username:&lt;/span&gt;&lt;/p&gt;&lt;/body&gt;&lt;/html&gt;</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="LoginWindow.ui" line="42"/>
        <source>&lt;html&gt;&lt;head/&gt;&lt;body&gt;&lt;p&gt;&lt;span style=&quot; font-weight:600;&quot;&gt;Password:&lt;/span&gt;&lt;/p&gt;&lt;/body&gt;&lt;/html&gt;</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="LoginWindow.ui" line="60"/>
        <source>Settings</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="LoginWindow.ui" line="83"/>
        <source>OK</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="LoginWindow.ui" line="93"/>
        <source>Cancel</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="LoginWindow.cpp" line="92"/>
        <source>Error occurred. Please check the settings and try again.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="LoginWindow.cpp" line="97"/>
        <source>Error occurred. Please check your username and password and try again.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="LoginWindow.cpp" line="100"/>
        <source>Error occurred. Can&apos;t find database file. Please check the settings and try again.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="LoginWindow.cpp" line="102"/>
        <source>Error occurred. Failed to establish a connection. Please check the settings and try again.  </source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="LoginWindow.cpp" line="122"/>
        <source>Connection failed or server refused connection.</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>NewCallerIDDialog</name>
    <message>
        <location filename="NewCallerIDDialog.ui" line="14"/>
        <source>New CallerID</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="NewCallerIDDialog.ui" line="29"/>
        <source>CallerID:</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="NewCallerIDDialog.ui" line="39"/>
        <source>Name:</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="NewCallerIDDialog.ui" line="49"/>
        <source>COS:</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="NewCallerIDDialog.ui" line="63"/>
        <source>PIN:</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="NewCallerIDDialog.ui" line="73"/>
        <source>Active user</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="NewCallerIDDialog.ui" line="101"/>
        <source>OK</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="NewCallerIDDialog.ui" line="111"/>
        <source>Cancel</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>NewDBUserDialog</name>
    <message>
        <location filename="NewDBUserDialog.ui" line="14"/>
        <source>Create new database user</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="NewDBUserDialog.ui" line="29"/>
        <source>User name:</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="NewDBUserDialog.ui" line="39"/>
        <source>Password:</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="NewDBUserDialog.ui" line="53"/>
        <source>Confirm password:</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="NewDBUserDialog.ui" line="67"/>
        <source>First name:</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="NewDBUserDialog.ui" line="77"/>
        <source>Middle name:</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="NewDBUserDialog.ui" line="87"/>
        <source>Last name:</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="NewDBUserDialog.ui" line="115"/>
        <source>OK</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="NewDBUserDialog.ui" line="125"/>
        <source>Cancel</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="NewDBUserDialog.cpp" line="28"/>
        <source>Error message</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="NewDBUserDialog.cpp" line="28"/>
        <source>Password must to be equal in two fields.</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>Selvdesk</name>
    <message>
        <location filename="SchemaCheck.cpp" line="88"/>
        <source>Missing tables: &apos;</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="SchemaCheck.cpp" line="89"/>
        <source>Missing generators: &apos;</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="SchemaCheck.cpp" line="90"/>
        <source>Missing triggers: &apos;</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="SchemaCheck.cpp" line="90"/>
        <source>Missing roles: &apos;</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="SchemaCheck.cpp" line="93"/>
        <source>Database critical error</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="SchemaCheck.cpp" line="97"/>
        <location filename="SchemaCheck.cpp" line="107"/>
        <source>Application database is missing or corrupted.
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="SchemaCheck.cpp" line="97"/>
        <source> Now we will try to repair database.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="SchemaCheck.cpp" line="99"/>
        <source>Database repaired</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="SchemaCheck.cpp" line="100"/>
        <source>Application database was successfully restored.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="SchemaCheck.cpp" line="104"/>
        <source>We can&apos;t repair application database.
Please, reinstall the application.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="SchemaCheck.cpp" line="108"/>
        <source>You need to log in as SYSDBA to repair your database.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="Selvdesk.cpp" line="66"/>
        <source>About Selvdesk</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="Selvdesk.cpp" line="67"/>
        <source>&lt;h3&gt;Selvdesk 1.0&lt;/h3&gt;&lt;p&gt;The operators&apos; console of the Selvane callback service: subscribers, blacklist patterns and incoming calls.&lt;/p&gt;</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="Selvdesk.cpp" line="141"/>
        <location filename="Selvdesk.cpp" line="155"/>
        <source>ID</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="Selvdesk.cpp" line="142"/>
        <source>COS</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="Selvdesk.cpp" line="143"/>
        <source>Number</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="Selvdesk.cpp" line="156"/>
        <source>Time</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="Selvdesk.cpp" line="157"/>
        <source>CallerID</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="Selvdesk.cpp" line="158"/>
        <source>Name</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="Selvdesk.cpp" line="159"/>
        <source>Result</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>SelvdeskClass</name>
    <message>
        <location filename="Selvdesk.ui" line="14"/>
        <source>Selvdesk</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="Selvdesk.ui" line="25"/>
        <source>Users</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="Selvdesk.ui" line="40"/>
        <source>Show deleted users</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="Selvdesk.ui" line="60"/>
        <source>Add user</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="Selvdesk.ui" line="67"/>
        <source>Edit user</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="Selvdesk.ui" line="74"/>
        <source>Delete user</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="Selvdesk.ui" line="84"/>
        <source>Incoming</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="Selvdesk.ui" line="98"/>
        <source>BlackList</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="Selvdesk.ui" line="126"/>
        <source>Add Pattern</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="Selvdesk.ui" line="133"/>
        <source>Delete Pattern</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="Selvdesk.ui" line="161"/>
        <source>&amp;OK</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="Selvdesk.ui" line="168"/>
        <source>Apply</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="Selvdesk.ui" line="175"/>
        <source>&amp;Cancel</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="Selvdesk.ui" line="186"/>
        <source>File</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="Selvdesk.ui" line="192"/>
        <source>Settings</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="Selvdesk.ui" line="199"/>
        <location filename="Selvdesk.ui" line="232"/>
        <source>About</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="Selvdesk.ui" line="219"/>
        <source>Database Settings</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="Selvdesk.ui" line="224"/>
        <source>Users...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="Selvdesk.ui" line="227"/>
        <source>Users management</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="Selvdesk.ui" line="237"/>
        <source>About Qt</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="Selvdesk.ui" line="242"/>
        <source>Quit</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>SettingsDialog</name>
    <message>
        <location filename="SettingsDialog.ui" line="17"/>
        <source>Database Settings</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="SettingsDialog.ui" line="32"/>
        <source>&lt;html&gt;&lt;head/&gt;&lt;body&gt;&lt;p&gt;&lt;span style=&quot; font-weight:600;&quot;&gt;Database filename/alias:&lt;/span&gt;&lt;/p&gt;&lt;/body&gt;&lt;/html&gt;</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="SettingsDialog.ui" line="42"/>
        <source>&lt;html&gt;&lt;head/&gt;&lt;body&gt;&lt;p&gt;&lt;span style=&quot; font-weight:600;&quot;&gt;Database hostname:&lt;/span&gt;&lt;/p&gt;&lt;/body&gt;&lt;/html&gt;</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="SettingsDialog.ui" line="52"/>
        <source>&lt;html&gt;&lt;head/&gt;&lt;body&gt;&lt;p&gt;&lt;span style=&quot; font-weight:600;&quot;&gt;Database port:&lt;/span&gt;&lt;/p&gt;&lt;/body&gt;&lt;/html&gt;</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="SettingsDialog.ui" line="66"/>
        <source>&lt;html&gt;&lt;head/&gt;&lt;body&gt;&lt;p&gt;&lt;span style=&quot; font-weight:600;&quot;&gt;Database driver:&lt;/span&gt;&lt;/p&gt;&lt;/body&gt;&lt;/html&gt;</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="SettingsDialog.ui" line="98"/>
        <source>OK</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="SettingsDialog.ui" line="108"/>
        <source>Cancel</source>
        <translation type="unfinished"></translation>
    </message>
</context>
</TS>
