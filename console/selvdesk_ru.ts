<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ru_RU">
<context>
    <name></name>
    <message>
        <source>File</source>
        <translation>Файл</translation>
    </message>
</context>
<context>
    <name>Database</name>
    <message>
        <source>Database error</source>
        <translation>Ошибка базы данных</translation>
    </message>
    <message>
        <source>The database did not carry out the operation.</source>
        <translation>База данных не выполнила операцию.</translation>
    </message>
</context>
<context>
    <name>CallOutcomes</name>
    <message>
        <source>Not a subscriber</source>
        <translation>Не абонент</translation>
    </message>
    <message>
        <source>Queued for a callback</source>
        <translation>В очереди на обратный вызов</translation>
    </message>
    <message>
        <source>Queue full</source>
        <translation>Очередь заполнена</translation>
    </message>
    <message>
        <source>Locked out (wrong PINs)</source>
        <translation>Заблокирован (неверные PIN)</translation>
    </message>
    <message>
        <source>Unknown (%1)</source>
        <translation>Неизвестно (%1)</translation>
    </message>
    <message>
        <source>Under way</source>
        <translation>Идёт</translation>
    </message>
    <message>
        <source>No answer</source>
        <translation>Нет ответа</translation>
    </message>
    <message>
        <source>Refused</source>
        <translation>Отклонён</translation>
    </message>
    <message>
        <source>Set-up failed</source>
        <translation>Не удалось установить</translation>
    </message>
    <message>
        <source>PIN failed</source>
        <translation>Неверный PIN</translation>
    </message>
    <message>
        <source>Hung up</source>
        <translation>Положил трубку</translation>
    </message>
    <message>
        <source>Transfer denied</source>
        <translation>Перевод запрещён</translation>
    </message>
    <message>
        <source>Transfer failed</source>
        <translation>Перевод не удался</translation>
    </message>
    <message>
        <source>Transferred</source>
        <translation>Переведён</translation>
    </message>
    <message>
        <source>Interrupted by a stop</source>
        <translation>Прерван остановкой</translation>
    </message>
</context>
<context>
    <name>DBUsersDialog</name>
    <message>
        <source>The account %1 already exists on the database server. Give it the role MANAGER again? Its password and names stay as they are.</source>
        <translation>Учётная запись %1 уже есть на сервере баз данных. Снова дать ей роль MANAGER? Её пароль и имена останутся прежними.</translation>
    </message>
    <message>
        <source>Database users</source>
        <translation>Пользователи базы данных</translation>
    </message>
    <message>
        <source>Add</source>
        <translation>Добавить</translation>
    </message>
    <message>
        <source>Delete</source>
        <translation>Удалить</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>ОК</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Отмена</translation>
    </message>
    <message>
        <source>Login name</source>
        <translation>Логин</translation>
    </message>
    <message>
        <source>Error message</source>
        <translation>Ошибка</translation>
    </message>
    <message>
        <source>A user name starts with a Latin letter and holds only Latin letters, digits, &apos;_&apos; and &apos;$&apos;, at most 31 of them.</source>
        <translation>Имя пользователя должно начинаться с латинской буквы и может содержать только латинские буквы, цифры, &apos;_&apos; и &apos;$&apos;, не более 31 символа.</translation>
    </message>
    <message>
        <source>You can&apos;t add new SYSDBA user.</source>
        <translation>Нельзя добавить нового пользователя SYSDBA.</translation>
    </message>
    <message>
        <source>You can&apos;t add user which already exists in database.</source>
        <translation>Нельзя добавить пользователя, который уже есть в базе данных.</translation>
    </message>
    <message>
        <source>You can&apos;t delete SYSDBA user.</source>
        <translation>Нельзя удалить пользователя SYSDBA.</translation>
    </message>
    <message>
        <source>You can&apos;t delete user which is not exist in database.</source>
        <translation>Нельзя удалить пользователя, которого нет в базе данных.</translation>
    </message>
</context>
<context>
    <name>LockoutsTab</name>
    <message>
        <source>Unlock</source>
        <translation>Разблокировать</translation>
    </message>
    <message>
        <source>Name</source>
        <translation>Имя</translation>
    </message>
    <message>
        <source>CallerID</source>
        <translation>CallerID</translation>
    </message>
    <message>
        <source>Locked until</source>
        <translation>Заблокирован до</translation>
    </message>
    <message>
        <source>Failures</source>
        <translation>Неудачных попыток</translation>
    </message>
</context>
<context>
    <name>LoginWindow</name>
    <message>
        <source>Login window</source>
        <translation>Окно входа</translation>
    </message>
    <message>
        <source>&lt;html&gt;&lt;head/&gt;&lt;body&gt;&lt;p&gt;&lt;span style=&quot; font-size:10pt; font-weight:600;&quot;&gt;Please enter your username and password to log in&lt;/span&gt;&lt;/p&gt;&lt;/body&gt;&lt;/html&gt;</source>
        <translation>&lt;html&gt;&lt;head/&gt;&lt;body&gt;&lt;p&gt;&lt;span style=&quot; font-size:10pt; font-weight:600;&quot;&gt;Введите имя пользователя и пароль для входа&lt;/span&gt;&lt;/p&gt;&lt;/body&gt;&lt;/html&gt;</translation>
    </message>
    <message>
        <source>&lt;html&gt;&lt;head/&gt;&lt;body&gt;&lt;p&gt;&lt;span style=&quot; font-weight:600;&quot;&gt;Username:&lt;/span&gt;&lt;/p&gt;&lt;/body&gt;&lt;/html&gt;</source>
        <translation>&lt;html&gt;&lt;head/&gt;&lt;body&gt;&lt;p&gt;&lt;span style=&quot; font-weight:600;&quot;&gt;Имя пользователя:&lt;/span&gt;&lt;/p&gt;&lt;/body&gt;&lt;/html&gt;</translation>
    </message>
    <message>
        <source>&lt;html&gt;&lt;head/&gt;&lt;body&gt;&lt;p&gt;&lt;span style=&quot; font-weight:600;&quot;&gt;Password:&lt;/span&gt;&lt;/p&gt;&lt;/body&gt;&lt;/html&gt;</source>
        <translation>&lt;html&gt;&lt;head/&gt;&lt;body&gt;&lt;p&gt;&lt;span style=&quot; font-weight:600;&quot;&gt;Пароль:&lt;/span&gt;&lt;/p&gt;&lt;/body&gt;&lt;/html&gt;</translation>
    </message>
    <message>
        <source>Settings</source>
        <translation>Настройки</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>ОК</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Отмена</translation>
    </message>
    <message>
        <source>Error occurred. Please check the settings and try again.</source>
        <translation>Произошла ошибка. Проверьте настройки и повторите попытку.</translation>
    </message>
    <message>
        <source>Error occurred. Please check your username and password and try again.</source>
        <translation>Произошла ошибка. Проверьте имя пользователя и пароль и повторите попытку.</translation>
    </message>
    <message>
        <source>Error occurred. Can&apos;t find database file. Please check the settings and try again.</source>
        <translation>Произошла ошибка. Не удаётся найти файл базы данных. Проверьте настройки и повторите попытку.</translation>
    </message>
    <message>
        <source>Error occurred. Failed to establish a connection. Please check the settings and try again.  </source>
        <translation>Произошла ошибка. Не удалось установить соединение. Проверьте настройки и повторите попытку.  </translation>
    </message>
    <message>
        <source>Connection failed or server refused connection.</source>
        <translation>Не удалось подключиться, или сервер отклонил подключение.</translation>
    </message>
</context>
<context>
    <name>NewCallerIDDialog</name>
    <message>
        <source>New CallerID</source>
        <translation>Новый CallerID</translation>
    </message>
    <message>
        <source>CallerID:</source>
        <translation>CallerID:</translation>
    </message>
    <message>
        <source>Name:</source>
        <translation>Имя:</translation>
    </message>
    <message>
        <source>COS:</source>
        <translation>COS:</translation>
    </message>
    <message>
        <source>PIN:</source>
        <translation>PIN:</translation>
    </message>
    <message>
        <source>Active user</source>
        <translation>Активный пользователь</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>ОК</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Отмена</translation>
    </message>
</context>
<context>
    <name>NewDBUserDialog</name>
    <message>
        <source>Create new database user</source>
        <translation>Создание пользователя базы данных</translation>
    </message>
    <message>
        <source>User name:</source>
        <translation>Имя пользователя:</translation>
    </message>
    <message>
        <source>Password:</source>
        <translation>Пароль:</translation>
    </message>
    <message>
        <source>Confirm password:</source>
        <translation>Подтверждение пароля:</translation>
    </message>
    <message>
        <source>First name:</source>
        <translation>Имя:</translation>
    </message>
    <message>
        <source>Middle name:</source>
        <translation>Отчество:</translation>
    </message>
    <message>
        <source>Last name:</source>
        <translation>Фамилия:</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>ОК</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Отмена</translation>
    </message>
    <message>
        <source>Error message</source>
        <translation>Ошибка</translation>
    </message>
    <message>
        <source>Password must to be equal in two fields.</source>
        <translation>Пароль и подтверждение пароля должны совпадать.</translation>
    </message>
</context>
<context>
    <name>Selvdesk</name>
    <message>
        <source>Lockouts</source>
        <translation>Блокировки</translation>
    </message>
    <message>
        <source>Missing tables: &apos;</source>
        <translation>Отсутствуют таблицы: &apos;</translation>
    </message>
    <message>
        <source>Missing generators: &apos;</source>
        <translation>Отсутствуют генераторы: &apos;</translation>
    </message>
    <message>
        <source>Missing triggers: &apos;</source>
        <translation>Отсутствуют триггеры: &apos;</translation>
    </message>
    <message>
        <source>Missing roles: &apos;</source>
        <translation>Отсутствуют роли: &apos;</translation>
    </message>
    <message>
        <source>Missing rights: &apos;</source>
        <translation>Отсутствуют права: &apos;</translation>
    </message>
    <message>
        <source>Missing indices: &apos;</source>
        <translation>Отсутствуют индексы: &apos;</translation>
    </message>
    <message>
        <source>Missing optional objects: &apos;</source>
        <translation>Отсутствуют необязательные объекты: &apos;</translation>
    </message>
    <message>
        <source>The database lacks %1, which newer features need: the administrator (SYSDBA) should log in once to add them.</source>
        <translation>В базе данных нет %1, нужных новым функциям: администратору (SYSDBA) нужно один раз войти, чтобы их добавить.</translation>
    </message>
    <message>
        <source>The database lacks the indices %1 and answers slowly: the administrator (SYSDBA) should log in once to add them.</source>
        <translation>В базе данных нет индексов %1, и она отвечает медленно: администратору (SYSDBA) нужно один раз войти, чтобы их добавить.</translation>
    </message>
    <message>
        <source>Database critical error</source>
        <translation>Критическая ошибка базы данных</translation>
    </message>
    <message>
        <source>Application database is missing or corrupted.
</source>
        <translation>База данных приложения отсутствует или повреждена.
</translation>
    </message>
    <message>
        <source> Now we will try to repair database.</source>
        <translation> Сейчас будет выполнена попытка восстановить базу данных.</translation>
    </message>
    <message>
        <source>Database repaired</source>
        <translation>База данных восстановлена</translation>
    </message>
    <message>
        <source>Application database was successfully restored.</source>
        <translation>База данных приложения успешно восстановлена.</translation>
    </message>
    <message>
        <source>We can&apos;t repair application database.
Please, reinstall the application.</source>
        <translation>Не удалось восстановить базу данных приложения.
Переустановите приложение.</translation>
    </message>
    <message>
        <source>You need to log in as SYSDBA to repair your database.</source>
        <translation>Для восстановления базы данных необходимо войти как SYSDBA.</translation>
    </message>
    <message>
        <source>About Selvdesk</source>
        <translation>О программе Selvdesk</translation>
    </message>
    <message>
        <source>&lt;h3&gt;Selvdesk 1.0&lt;/h3&gt;&lt;p&gt;The operators&apos; console of the Selvane callback service: subscribers, blacklist patterns and incoming calls.&lt;/p&gt;</source>
        <translation>&lt;h3&gt;Selvdesk 1.0&lt;/h3&gt;&lt;p&gt;Консоль операторов службы обратного вызова Selvane: абоненты, шаблоны чёрного списка и входящие вызовы.&lt;/p&gt;</translation>
    </message>
    <message>
        <source>ID</source>
        <translation>ID</translation>
    </message>
    <message>
        <source>COS</source>
        <translation>COS</translation>
    </message>
    <message>
        <source>Number</source>
        <translation>Номер</translation>
    </message>
    <message>
        <source>Time</source>
        <translation>Время</translation>
    </message>
    <message>
        <source>CallerID</source>
        <translation>CallerID</translation>
    </message>
    <message>
        <source>Name</source>
        <translation>Имя</translation>
    </message>
    <message>
        <source>Result</source>
        <translation>Результат</translation>
    </message>
    <message>
        <source>PIN</source>
        <translation>PIN</translation>
    </message>
    <message>
        <source>Active</source>
        <translation>Активен</translation>
    </message>
    <message>
        <source>Attempt</source>
        <translation>Попытка</translation>
    </message>
    <message>
        <source>Line</source>
        <translation>Линия</translation>
    </message>
    <message>
        <source>Outcome</source>
        <translation>Исход</translation>
    </message>
    <message>
        <source>SIP status</source>
        <translation>Статус SIP</translation>
    </message>
    <message>
        <source>Destination</source>
        <translation>Куда</translation>
    </message>
    <message>
        <source>Length</source>
        <translation>Длительность</translation>
    </message>
</context>
<context>
    <name>SelvdeskClass</name>
    <message>
        <source>Selvdesk</source>
        <translation>Selvdesk</translation>
    </message>
    <message>
        <source>Users</source>
        <translation>Пользователи</translation>
    </message>
    <message>
        <source>Show deleted users</source>
        <translation>Показывать удалённых пользователей</translation>
    </message>
    <message>
        <source>Add user</source>
        <translation>Добавить пользователя</translation>
    </message>
    <message>
        <source>Edit user</source>
        <translation>Изменить пользователя</translation>
    </message>
    <message>
        <source>Delete user</source>
        <translation>Удалить пользователя</translation>
    </message>
    <message>
        <source>Incoming</source>
        <translation>Входящие</translation>
    </message>
    <message>
        <source>BlackList</source>
        <translation>Чёрный список</translation>
    </message>
    <message>
        <source>Add Pattern</source>
        <translation>Добавить шаблон</translation>
    </message>
    <message>
        <source>Delete Pattern</source>
        <translation>Удалить шаблон</translation>
    </message>
    <message>
        <source>&amp;OK</source>
        <translation>&amp;ОК</translation>
    </message>
    <message>
        <source>Apply</source>
        <translation>Применить</translation>
    </message>
    <message>
        <source>&amp;Cancel</source>
        <translation>&amp;Отмена</translation>
    </message>
    <message>
        <source>File</source>
        <translation>Файл</translation>
    </message>
    <message>
        <source>Settings</source>
        <translation>Настройки</translation>
    </message>
    <message>
        <source>About</source>
        <translation>О программе</translation>
    </message>
    <message>
        <source>Database Settings</source>
        <translation>Настройки базы данных</translation>
    </message>
    <message>
        <source>Users...</source>
        <translation>Пользователи...</translation>
    </message>
    <message>
        <source>Users management</source>
        <translation>Управление пользователями</translation>
    </message>
    <message>
        <source>About Qt</source>
        <translation>О Qt</translation>
    </message>
    <message>
        <source>Quit</source>
        <translation>Выход</translation>
    </message>
    <message>
        <source>Callbacks</source>
        <translation>Обратные вызовы</translation>
    </message>
</context>
<context>
    <name>SettingsDialog</name>
    <message>
        <source>Database Settings</source>
        <translation>Настройки базы данных</translation>
    </message>
    <message>
        <source>&lt;html&gt;&lt;head/&gt;&lt;body&gt;&lt;p&gt;&lt;span style=&quot; font-weight:600;&quot;&gt;Database filename/alias:&lt;/span&gt;&lt;/p&gt;&lt;/body&gt;&lt;/html&gt;</source>
        <translation>&lt;html&gt;&lt;head/&gt;&lt;body&gt;&lt;p&gt;&lt;span style=&quot; font-weight:600;&quot;&gt;Файл/псевдоним базы данных:&lt;/span&gt;&lt;/p&gt;&lt;/body&gt;&lt;/html&gt;</translation>
    </message>
    <message>
        <source>&lt;html&gt;&lt;head/&gt;&lt;body&gt;&lt;p&gt;&lt;span style=&quot; font-weight:600;&quot;&gt;Database hostname:&lt;/span&gt;&lt;/p&gt;&lt;/body&gt;&lt;/html&gt;</source>
        <translation>&lt;html&gt;&lt;head/&gt;&lt;body&gt;&lt;p&gt;&lt;span style=&quot; font-weight:600;&quot;&gt;Имя хоста базы данных:&lt;/span&gt;&lt;/p&gt;&lt;/body&gt;&lt;/html&gt;</translation>
    </message>
    <message>
        <source>&lt;html&gt;&lt;head/&gt;&lt;body&gt;&lt;p&gt;&lt;span style=&quot; font-weight:600;&quot;&gt;Database port:&lt;/span&gt;&lt;/p&gt;&lt;/body&gt;&lt;/html&gt;</source>
        <translation>&lt;html&gt;&lt;head/&gt;&lt;body&gt;&lt;p&gt;&lt;span style=&quot; font-weight:600;&quot;&gt;Порт базы данных:&lt;/span&gt;&lt;/p&gt;&lt;/body&gt;&lt;/html&gt;</translation>
    </message>
    <message>
        <source>&lt;html&gt;&lt;head/&gt;&lt;body&gt;&lt;p&gt;&lt;span style=&quot; font-weight:600;&quot;&gt;Database driver:&lt;/span&gt;&lt;/p&gt;&lt;/body&gt;&lt;/html&gt;</source>
        <translation>&lt;html&gt;&lt;head/&gt;&lt;body&gt;&lt;p&gt;&lt;span style=&quot; font-weight:600;&quot;&gt;Драйвер базы данных:&lt;/span&gt;&lt;/p&gt;&lt;/body&gt;&lt;/html&gt;</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>ОК</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Отмена</translation>
    </message>
</context>
</TS>
